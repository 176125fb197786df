"""The tests' one harness: the real programs run where they touch nothing of the host, and the
peers that talk to them are not our code.

    scratch   the one scratch directory (VESK_E2E_TMP)
    wire      the one reading of each wire format the tests meet: the encrypted answer, the
              heartbeat, the transaction file's line (the docs' worked examples check it)
    peers     curl, raw sockets, a UDP listener, clips, xxhsum
    service   vesk-service in a private mount namespace: start, pair, deliver, wait on its status
    cases     the unittest base of the service's scenarios
    register  the register as a management server meets it: its account, sshd, rsync over ssh
    pairing   pairings at once and killed half-way (also a figure: python3 -m vesktest.pairing)
    gate      the paired key's rsync under hostile rules and on a slow line
    display   vesk-display as a test drives it, a flood of forged manifests
    proc      what /proc says of a process: descriptors, memory, CPU time
    manage    vesk-manage as a test drives it
    fleet     a chain's registers, each in network and mount namespaces of its own, and
              vesk-manage in a hub between them

CTest puts tests/lib on PYTHONPATH; by hand, run a script with PYTHONPATH=tests/lib.
"""
