# The release a build makes when it is given none: the version of the firmware this tree ships and
# the checksums its controller reports for each page. A new firmware is given to the build instead
# (LUMARO_FIRMWARE_VERSION with LUMARO_FIRMWARE_CHECKSUMS); the tests that prove the default
# release read their version from here too.
set(LUMARO_DEFAULT_FIRMWARE_VERSION 1.17)
set(LUMARO_DEFAULT_FIRMWARE_CHECKSUMS ${CMAKE_CURRENT_LIST_DIR}/PageChecksums.txt)
