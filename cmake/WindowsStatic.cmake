# The Windows program and its tests built against a static Qt (the MinGW-w64 kit): one .exe that
# needs nothing beside it. Included only for Windows builds that found their Qt.

get_target_property(LUMARO_QT_CORE_TYPE Qt5::Core TYPE)
if(LUMARO_QT_CORE_TYPE STREQUAL "STATIC_LIBRARY")
    set(LUMARO_STATIC_QT ON)
else()
    set(LUMARO_STATIC_QT OFF)
endif()

if(MINGW)
    # The C++ runtime, libgcc and winpthreads linked in: the program imports only system DLLs,
    # and the build-time generators run under wine without DLLs on its path.
    add_link_options(-static)
endif()

# lumaro_import_qt_plugins(<target> PLATFORMS <plugin>... [STYLES <plugin>...])
# A static Qt links every plugin it has unless told otherwise. Link the given platform
# integrations and styles, the icon reader (the window icon is a .ico in the bundle) and nothing
# else: PNG is built into Qt itself.
function(lumaro_import_qt_plugins target)
    if(NOT LUMARO_STATIC_QT)
        return()
    endif()
    cmake_parse_arguments(P "" "" "PLATFORMS;STYLES" ${ARGN})
    if(NOT P_STYLES)
        set(P_STYLES "-")
    endif()
    set_target_properties(${target} PROPERTIES
        QT_PLUGINS_platforms "${P_PLATFORMS}"
        QT_PLUGINS_imageformats Qt5::QICOPlugin
        QT_PLUGINS_styles "${P_STYLES}")
endfunction()
