# Run by CPack in the staging directory before it packs: gzip -9n (no name, no time stamp, so
# that the package is reproducible) for man pages and the changelog.
file(GLOB_RECURSE staged LIST_DIRECTORIES false ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*)
list(FILTER staged INCLUDE REGEX "/share/man/man[1-9]/[^/]+\\.[1-9]$|/share/doc/vesk/changelog$")
foreach(document IN LISTS staged)
  execute_process(COMMAND gzip -9nf ${document} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
