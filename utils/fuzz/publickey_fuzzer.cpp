// The public keys of management servers and displays arrive from the network: fromDer must
// survive any bytes, and whatever it accepts must be usable for an agreement.
#include <vesk/ssl/crypto.h>
#include <vesk/ssl/error.h>
#include <vesk/ssl/publickey.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray der(reinterpret_cast<const char*>(data), qsizetype(size));
    const vesk::ssl::PublicKey key = vesk::ssl::PublicKey::fromDer(der);
    if (!key.isValid())
        return 0;
    // An accepted key reads back to the same key and takes part in an agreement.
    if (!vesk::ssl::PublicKey::fromDer(key.der()).isValid())
        std::abort();
    static const auto own = vesk::ssl::generateKeyPairEC();
    try {
        if (vesk::ssl::deriveKey(own.first, key).getKey().size() != 32)
            std::abort();
    } catch (const vesk::ssl::Error&) {
        std::abort();
    }
    return 0;
}
