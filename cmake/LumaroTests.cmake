# How every test is registered: one function, named after the program that runs it, with what the
# rig needs of the machine as arguments.

# wine's settings for the rigs, with the given prefix; the shell rigs read the same file.
function(lumaro_wine_environment variable prefix)
    file(STRINGS ${PROJECT_SOURCE_DIR}/tests/support/wine.env settings)
    set(${variable} "WINEPREFIX=${prefix}" ${settings} PARENT_SCOPE)
endfunction()

# lumaro_add_qt_free_program(<name> SOURCES <files...> [LIBS <libs...>] [WIN32])
# A Windows program that links no Qt: the platform units, and the helpers the rigs start.
function(lumaro_add_qt_free_program name)
    cmake_parse_arguments(P "WIN32" "" "SOURCES;LIBS" ${ARGN})
    if(P_WIN32)
        add_executable(${name} WIN32 ${P_SOURCES})
    else()
        add_executable(${name} ${P_SOURCES})
    endif()
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    target_compile_definitions(${name} PRIVATE UNICODE _UNICODE)
    target_link_libraries(${name} PRIVATE ${P_LIBS})
    set_target_properties(${name} PROPERTIES AUTOMOC OFF)
    if(MINGW)
        # wine finds no MinGW runtime DLLs; a dynamically linked program exits with 53 unseen.
        target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
    endif()
endfunction()

# Tests of a cross build that run one of its programs share one wine prefix in the build tree and
# one wineserver, started before the first of them and stopped after the last: without it every
# test waits about 2.5 s for wine to wind down.
function(lumaro_wine_session test)
    lumaro_wine_environment(environment ${CMAKE_BINARY_DIR}/wineprefix)
    list(APPEND environment
        "DISPLAY="
        "LC_ALL=C.UTF-8"
        # wine hands Windows programs no QT_* variable of the host's; a WINE prefix passes one on.
        "WINEQT_QPA_PLATFORM=offscreen"
        # Without a console of its own a Qt program under wine keeps its test log to itself.
        "WINEQT_FORCE_STDERR_LOGGING=1")
    get_property(session_defined GLOBAL PROPERTY LUMARO_WINE_SESSION_DEFINED)
    if(NOT session_defined)
        set_property(GLOBAL PROPERTY LUMARO_WINE_SESSION_DEFINED ON)
        set(session ${PROJECT_SOURCE_DIR}/tests/wine/WineSession.sh)
        add_test(NAME WineSession_start COMMAND sh ${session} start)
        add_test(NAME WineSession_stop COMMAND sh ${session} stop)
        set_tests_properties(WineSession_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
        set_tests_properties(WineSession_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
        set_tests_properties(WineSession_start WineSession_stop PROPERTIES
            ENVIRONMENT "${environment}" LABELS windows)
    endif()
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT ${environment})
    set_property(TEST ${test} APPEND PROPERTY LABELS windows)
    set_property(TEST ${test} PROPERTY FIXTURES_REQUIRED wine)
endfunction()

# lumaro_add_test(NAME <name> [SOURCES <files...> [LIBS <targets...>] [QT_FREE]]
#                 [PROGRAM <target>] [ARGS <arguments...>] [COMMAND <command...>]
#                 [NEEDS <what=how>...] [ENVIRONMENT <VAR=value>...] [LABELS <labels...>]
#                 [TIMEOUT <seconds>] [WORKING_DIRECTORY <dir>] [LOCK <resource>] [SERIAL])
# SOURCES builds the program <name>: a Qt Test executable run offscreen, or with QT_FREE a
# Windows unit without Qt. PROGRAM runs another target of the build instead (a row of a
# data-driven rig names the row after the program: <program>_<row>); COMMAND runs a rig script,
# whose file is named as the test is. NEEDS lists the machine's tools the rig needs, as
# <command or file>=<Debian package or step>: tests/support/gate.sh skips the test naming what is
# missing, or fails it under ./check. A program of a cross build runs under wine.
function(lumaro_add_test)
    cmake_parse_arguments(T "QT_FREE;SERIAL" "NAME;PROGRAM;TIMEOUT;WORKING_DIRECTORY;LOCK"
        "SOURCES;LIBS;ARGS;COMMAND;NEEDS;ENVIRONMENT;LABELS" ${ARGN})
    set(program ${T_PROGRAM})
    if(T_SOURCES)
        set(program ${T_NAME})
        if(T_QT_FREE)
            lumaro_add_qt_free_program(${T_NAME} SOURCES ${T_SOURCES} LIBS ${T_LIBS})
        else()
            add_executable(${T_NAME} ${T_SOURCES})
            target_link_libraries(${T_NAME} PRIVATE Qt5::Test lumaro_testsupport ${T_LIBS})
            list(APPEND T_ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
            if(WIN32)
                lumaro_import_qt_plugins(${T_NAME} PLATFORMS Qt5::QOffscreenIntegrationPlugin)
            endif()
        endif()
    endif()
    if(T_COMMAND)
        set(command ${T_COMMAND})
    elseif(program)
        set(command ${program} ${T_ARGS})
    else()
        message(FATAL_ERROR "lumaro_add_test(${T_NAME}): no SOURCES, PROGRAM or COMMAND")
    endif()
    if(T_NEEDS)
        # The gate starts the program by its path: ctest resolves a target's name only as the
        # command's first word.
        if(NOT T_COMMAND)
            set(command $<TARGET_FILE:${program}> ${T_ARGS})
        endif()
        set(command sh ${PROJECT_SOURCE_DIR}/tests/support/gate.sh ${T_NEEDS} -- ${command})
    endif()
    if(NOT T_WORKING_DIRECTORY)
        set(T_WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    add_test(NAME ${T_NAME} COMMAND ${command} WORKING_DIRECTORY ${T_WORKING_DIRECTORY})
    set_tests_properties(${T_NAME} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT ${T_TIMEOUT})
    if(T_ENVIRONMENT)
        set_property(TEST ${T_NAME} PROPERTY ENVIRONMENT ${T_ENVIRONMENT})
    endif()
    if(T_LABELS)
        set_property(TEST ${T_NAME} PROPERTY LABELS ${T_LABELS})
    endif()
    if(T_LOCK)
        set_property(TEST ${T_NAME} PROPERTY RESOURCE_LOCK ${T_LOCK})
    endif()
    if(T_SERIAL)
        set_property(TEST ${T_NAME} PROPERTY RUN_SERIAL ON)
    endif()
    if(CMAKE_CROSSCOMPILING_EMULATOR AND program AND NOT T_COMMAND)
        lumaro_wine_session(${T_NAME})
    endif()
endfunction()
