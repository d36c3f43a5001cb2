# The firmware release a build makes: its version, its page checksum table and its image, checked
# together before anything is built.
#
# Inputs (cache variables of the build, or -D definitions in script mode):
#   LUMARO_FIRMWARE_VERSION    M.mm; empty for the release in the tree (firmware/DefaultRelease.cmake)
#   LUMARO_FIRMWARE_CHECKSUMS  a file of 61 hexadecimal entries, whitespace- or line-separated, with
#                              # comments; given together with the version, or not at all
#   LUMARO_FIRMWARE_IMAGE      the vendor's image, or empty for the stand-in
#   LUMARO_SKIP_PAGE_SUM_CHECK accept an image whose page sums differ from the table
#
# lumaro_firmware_release() sets, in the caller's scope:
#   LUMARO_RELEASE_VERSION       the version as users read it ("1.18")
#   LUMARO_RELEASE_VERSION_WORD  the version word of the bootloader's info reply ("0x0118")
#   LUMARO_RELEASE_CHECKSUMS     the 61 entries, as "0x8835;0xAD84;..."
# or stops with one line naming the input and what is wrong with it.
#
# In script mode (cmake -D... -P FirmwareRelease.cmake, as tools/make-release runs it) it prints
# "version: M.mm" on success, or "refused: <reason>" and fails.

set(LUMARO_FIRMWARE_RELEASE_DIR ${CMAKE_CURRENT_LIST_DIR})

# Page size and count of the image, as firmware/FirmwareImage.h has them.
set(LUMARO_FIRMWARE_PAGE_SIZE 512)
set(LUMARO_FIRMWARE_PAGE_COUNT 61)

macro(_lumaro_release_refuse text)
    if(CMAKE_SCRIPT_MODE_FILE)
        message(NOTICE "refused: ${text}")
        message(FATAL_ERROR "the firmware release was refused")
    else()
        message(FATAL_ERROR "${text}")
    endif()
endmacro()

function(lumaro_firmware_release)
    include(${LUMARO_FIRMWARE_RELEASE_DIR}/../firmware/DefaultRelease.cmake)
    set(version "${LUMARO_FIRMWARE_VERSION}")
    set(checksums "${LUMARO_FIRMWARE_CHECKSUMS}")
    if(version STREQUAL "" AND checksums STREQUAL "")
        set(version ${LUMARO_DEFAULT_FIRMWARE_VERSION})
        set(checksums ${LUMARO_DEFAULT_FIRMWARE_CHECKSUMS})
    elseif(checksums STREQUAL "")
        _lumaro_release_refuse("LUMARO_FIRMWARE_VERSION: ${version} is given without a checksum table; a new firmware version needs its own (LUMARO_FIRMWARE_CHECKSUMS)")
    elseif(version STREQUAL "")
        _lumaro_release_refuse("LUMARO_FIRMWARE_CHECKSUMS: ${checksums} is given without a version; the table belongs to one firmware version (LUMARO_FIRMWARE_VERSION)")
    endif()

    # M.mm in decimal digits, as the title shows it; the version word carries the same digits in
    # hexadecimal notation (1.18 is 0x118). A leading zero would name the word of a shorter one.
    if(NOT version MATCHES "^([1-9]?[0-9])\\.([0-9][0-9])$")
        _lumaro_release_refuse("LUMARO_FIRMWARE_VERSION: '${version}' is not a version M.mm (a major number from 0 to 99 without a leading zero, a dot, two digits)")
    endif()
    set(major ${CMAKE_MATCH_1})
    set(minor ${CMAKE_MATCH_2})
    # A blank flash reports 0xFFFF, which the protocol stores as 0: a release with that word would
    # look like no firmware at all. Decimal digits never make 0xFFFF.
    if("${major}${minor}" MATCHES "^0+$")
        _lumaro_release_refuse("LUMARO_FIRMWARE_VERSION: ${version} has the version word 0, which stands for the blank flash of a controller without firmware")
    endif()
    string(LENGTH "${major}" length)
    if(length EQUAL 1)
        set(major "0${major}")
    endif()
    set(word "0x${major}${minor}")

    get_filename_component(checksums ${checksums} ABSOLUTE)
    if(NOT EXISTS ${checksums} OR IS_DIRECTORY ${checksums})
        _lumaro_release_refuse("LUMARO_FIRMWARE_CHECKSUMS: ${checksums} is not a file")
    endif()
    file(STRINGS ${checksums} lines)
    set(entries "")
    foreach(line IN LISTS lines)
        string(REGEX REPLACE "#.*" "" line "${line}")
        string(REGEX MATCHALL "[^ \t\r\n]+" words "${line}")
        list(APPEND entries ${words})
    endforeach()
    list(LENGTH entries count)
    if(NOT count EQUAL LUMARO_FIRMWARE_PAGE_COUNT)
        _lumaro_release_refuse("LUMARO_FIRMWARE_CHECKSUMS: ${checksums} has ${count} entries; a checksum table has one for each of the ${LUMARO_FIRMWARE_PAGE_COUNT} pages")
    endif()
    set(table "")
    set(page 0)
    foreach(entry IN LISTS entries)
        if(NOT entry MATCHES "^(0[xX])?([0-9A-Fa-f]+)$")
            _lumaro_release_refuse("LUMARO_FIRMWARE_CHECKSUMS: entry ${page} of ${checksums}, '${entry}', is not a hexadecimal number")
        endif()
        string(REGEX REPLACE "^0+([0-9A-Fa-f])" "\\1" digits "${CMAKE_MATCH_2}")
        string(LENGTH "${digits}" length)
        if(length GREATER 8)
            _lumaro_release_refuse("LUMARO_FIRMWARE_CHECKSUMS: entry ${page} of ${checksums}, '${entry}', does not fit in 32 bits")
        endif()
        string(TOUPPER "${digits}" digits)
        list(APPEND table "0x${digits}")
        math(EXPR page "${page} + 1")
    endforeach()

    math(EXPR image_size "${LUMARO_FIRMWARE_PAGE_SIZE} * ${LUMARO_FIRMWARE_PAGE_COUNT}")
    # The largest sum a page of bytes can have: the stand-in is derived to sum to each entry.
    math(EXPR page_sum_limit "${LUMARO_FIRMWARE_PAGE_SIZE} * 255")
    if(LUMARO_FIRMWARE_IMAGE)
        get_filename_component(image ${LUMARO_FIRMWARE_IMAGE} ABSOLUTE)
        if(NOT EXISTS ${image} OR IS_DIRECTORY ${image})
            _lumaro_release_refuse("LUMARO_FIRMWARE_IMAGE: ${image} is not a file")
        endif()
        file(SIZE ${image} size)
        if(NOT size EQUAL image_size)
            _lumaro_release_refuse("LUMARO_FIRMWARE_IMAGE: ${image} is ${size} bytes; a firmware image is exactly ${image_size} bytes (${LUMARO_FIRMWARE_PAGE_COUNT} pages of ${LUMARO_FIRMWARE_PAGE_SIZE})")
        endif()
        if(NOT LUMARO_SKIP_PAGE_SUM_CHECK)
            math(EXPR last "${LUMARO_FIRMWARE_PAGE_COUNT} - 1")
            foreach(page RANGE ${last})
                math(EXPR offset "${page} * ${LUMARO_FIRMWARE_PAGE_SIZE}")
                file(READ ${image} bytes OFFSET ${offset} LIMIT ${LUMARO_FIRMWARE_PAGE_SIZE} HEX)
                string(REGEX REPLACE "(..)" "+0x\\1" sum "${bytes}")
                math(EXPR sum "0${sum}")
                list(GET table ${page} expected)
                math(EXPR expected_value "${expected}")
                if(NOT sum EQUAL expected_value)
                    math(EXPR sum "${sum}" OUTPUT_FORMAT HEXADECIMAL)
                    string(SUBSTRING "${sum}" 2 -1 digits)
                    string(TOUPPER "${digits}" digits)
                    string(LENGTH "${digits}" length)
                    while(length LESS 4)
                        string(PREPEND digits 0)
                        math(EXPR length "${length} + 1")
                    endwhile()
                    set(sum "0x${digits}")
                    _lumaro_release_refuse("LUMARO_FIRMWARE_IMAGE: page ${page} of ${image} sums to ${sum}, but the checksum table ${checksums} expects ${expected} (-DLUMARO_SKIP_PAGE_SUM_CHECK=ON embeds it anyway)")
                endif()
            endforeach()
        endif()
    else()
        set(page 0)
        foreach(entry IN LISTS table)
            math(EXPR value "${entry}")
            if(value GREATER page_sum_limit)
                _lumaro_release_refuse("LUMARO_FIRMWARE_CHECKSUMS: entry ${page} of ${checksums}, ${entry}, is more than ${LUMARO_FIRMWARE_PAGE_SIZE} bytes can sum to; no stand-in image can be derived for it")
            endif()
            math(EXPR page "${page} + 1")
        endforeach()
    endif()

    set(LUMARO_RELEASE_VERSION ${version} PARENT_SCOPE)
    set(LUMARO_RELEASE_VERSION_WORD ${word} PARENT_SCOPE)
    set(LUMARO_RELEASE_CHECKSUMS "${table}" PARENT_SCOPE)
    set(LUMARO_RELEASE_CHECKSUMS_FILE ${checksums} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    lumaro_firmware_release()
    message(NOTICE "version: ${LUMARO_RELEASE_VERSION}")
endif()
