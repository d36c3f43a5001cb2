# lumaro_embed_firmware(<out_var>)
#
# Generates the source that defines g_firmware_image and g_firmware_is_stand_in and stores its
# path in <out_var>. With LUMARO_FIRMWARE_IMAGE set, that file is embedded (its size and page sums
# were checked when the build was configured, cmake/FirmwareRelease.cmake); without it, a stand-in
# is derived whose pages agree with the checksum table.
#
# The generator is a host program built from tools/embed-firmware and the release's generated
# checksum table (LUMARO_GENERATED_FIRMWARE_DIR), so there is exactly one table. In a cross build
# it runs through CMAKE_CROSSCOMPILING_EMULATOR.

set(LUMARO_EMBED_FIRMWARE_DIR ${CMAKE_CURRENT_LIST_DIR}/../tools/embed-firmware)

function(lumaro_embed_firmware out_var)
    get_filename_component(tool_dir ${LUMARO_EMBED_FIRMWARE_DIR} ABSOLUTE)
    set(firmware_dir ${PROJECT_SOURCE_DIR}/firmware)

    if(NOT TARGET lumaro-embed-firmware)
        add_executable(lumaro-embed-firmware
            ${tool_dir}/main.cpp
            ${LUMARO_GENERATED_FIRMWARE_DIR}/PageChecksums.cpp
            ${firmware_dir}/FirmwareImage.h)
        target_include_directories(lumaro-embed-firmware PRIVATE ${firmware_dir}
            ${LUMARO_GENERATED_FIRMWARE_DIR})
        set_target_properties(lumaro-embed-firmware PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
    endif()

    set(output ${CMAKE_CURRENT_BINARY_DIR}/FirmwareImageData.cpp)
    set(arguments --output ${output})
    set(depends lumaro-embed-firmware)
    if(LUMARO_FIRMWARE_IMAGE)
        get_filename_component(image ${LUMARO_FIRMWARE_IMAGE} ABSOLUTE)
        list(APPEND arguments --image ${image})
        list(APPEND depends ${image})
        if(LUMARO_SKIP_PAGE_SUM_CHECK)
            message(WARNING "LUMARO_SKIP_PAGE_SUM_CHECK is on: ${image} is embedded without comparing its pages with the checksum table")
        endif()
        set(comment "Embedding the firmware image ${image}")
    else()
        set(comment "Deriving the stand-in firmware image (no LUMARO_FIRMWARE_IMAGE given)")
    endif()

    add_custom_command(
        OUTPUT ${output}
        COMMAND lumaro-embed-firmware ${arguments}
        DEPENDS ${depends}
        COMMENT "${comment}"
        VERBATIM)
    # Plain data: nothing for moc to look at in 31,232 bytes.
    set_source_files_properties(${output} PROPERTIES SKIP_AUTOGEN ON)
    set(${out_var} ${output} PARENT_SCOPE)
endfunction()
