# Tests that need more than the build: tools of the machine, a virtual machine, wine.

# lumaro_add_rig_test(NAME <name> NEEDS <what=how>... COMMAND <command>...)
# Runs through tests/rig/gate.sh, which skips the test (ctest's SKIP_RETURN_CODE) naming the
# package or step that is missing, or fails it under ./check.
function(lumaro_add_rig_test)
    cmake_parse_arguments(T "" "NAME" "NEEDS;COMMAND" ${ARGN})
    add_test(NAME ${T_NAME}
        COMMAND sh ${PROJECT_SOURCE_DIR}/tests/rig/gate.sh ${T_NEEDS} -- ${T_COMMAND})
    set_tests_properties(${T_NAME} PROPERTIES SKIP_RETURN_CODE 77)
endfunction()

# wine's settings for the rigs, with the given prefix; the shell rigs read the same file.
function(lumaro_wine_environment variable prefix)
    file(STRINGS ${PROJECT_SOURCE_DIR}/tests/rig/wine.env settings)
    set(${variable} "WINEPREFIX=${prefix}" ${settings} PARENT_SCOPE)
endfunction()

# lumaro_run_under_wine(<test>...)
# Tests of a cross build run under wine (ctest starts them through CMAKE_CROSSCOMPILING_EMULATOR).
# They share one prefix in the build tree and one wineserver, started before the first of them
# and stopped after the last: without it every test waits about 2.5 s for wine to wind down.
function(lumaro_run_under_wine)
    if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
        return()
    endif()
    lumaro_wine_environment(environment ${CMAKE_BINARY_DIR}/wineprefix)
    list(APPEND environment
        "DISPLAY="
        "LC_ALL=C.UTF-8"
        # wine hands Windows programs no QT_* variable of the host's; a WINE prefix passes one on.
        "WINEQT_QPA_PLATFORM=offscreen"
        # Without a console of its own a Qt program under wine keeps its test log to itself.
        "WINEQT_FORCE_STDERR_LOGGING=1")
    # Tests belong to their folder, fixtures to the whole run: start the session once.
    get_property(session_defined GLOBAL PROPERTY LUMARO_WINE_SESSION_DEFINED)
    if(NOT session_defined)
        set_property(GLOBAL PROPERTY LUMARO_WINE_SESSION_DEFINED ON)
        set(session ${PROJECT_SOURCE_DIR}/tests/windows/wine-session.sh)
        add_test(NAME WineSessionStart COMMAND sh ${session} start)
        add_test(NAME WineSessionStop COMMAND sh ${session} stop)
        set_tests_properties(WineSessionStart PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
        set_tests_properties(WineSessionStop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
        set_tests_properties(WineSessionStart WineSessionStop PROPERTIES
            ENVIRONMENT "${environment}" LABELS windows)
    endif()
    set_property(TEST ${ARGN} APPEND PROPERTY ENVIRONMENT ${environment})
    set_property(TEST ${ARGN} APPEND PROPERTY LABELS windows)
    set_property(TEST ${ARGN} PROPERTY FIXTURES_REQUIRED wine)
endfunction()
