# The two Windows programs, cross-built with MinGW-w64 (see the toolchain files
# beside this one). Each must run from a bare medium and start as fast as the
# processes it starts allow, so neither links a C runtime: no MinGW start-up
# files, no msvcrt.dll, no libgcc. What a runtime would give them (the entry
# point, the heap, the memory helpers the compiler calls, the stack probe) is
# in common/runtime_win32.cpp; the link fails on anything else that reaches
# for one. Only Windows system DLLs are imported, and each shipped (i686)
# program is at most 24 KiB, hence the size-oriented flags below. The x86_64
# build of the same sources, which is not shipped, has longer instructions
# and pointers and is allowed 26 KiB.

enable_language(RC)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KVI_SIZE_LIMIT 28672)
else()
    set(KVI_SIZE_LIMIT 24576)
endif()

# Reproducible programs: the same commit gives the same bytes in any build
# folder, at any time. The one date in them is the PE time stamp. It is taken
# from SOURCE_DATE_EPOCH when that is set, else from the time of the last
# commit, which the sources already fix and which tells one release from the
# next (debuggers and symbol servers key a program by its time stamp and
# size). Outside a git checkout it is 0, so that a build from an unpacked
# archive stays the same from run to run. The linker writes the time stamp
# (it reads SOURCE_DATE_EPOCH) and the PE checksum over the final bytes.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(KVI_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
    # --git-dir: this checkout's own history, never that of a folder around it.
    execute_process(COMMAND git --git-dir=${CMAKE_SOURCE_DIR}/.git log -1 --format=%ct
        OUTPUT_VARIABLE KVI_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE git_result)
    if(NOT git_result EQUAL 0 OR KVI_EPOCH STREQUAL "")
        message(WARNING "Neither SOURCE_DATE_EPOCH nor a git checkout: the PE time stamp is 0")
        set(KVI_EPOCH 0)
    endif()
endif()
# The PE field holds 32 unsigned bits.
if(NOT KVI_EPOCH MATCHES "^[0-9]+$" OR KVI_EPOCH GREATER 4294967295)
    message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a number of seconds below 2^32, not '${KVI_EPOCH}'")
endif()
# Written only when it changes; the programs depend on it, so a new value
# relinks them (make reconfigures on each run).
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/source_date_epoch.txt CONTENT "${KVI_EPOCH}\n")

# CMake would add a dozen Windows libraries of its own to every link; each
# program names the ones it uses below instead.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# Compile flags for the C++ sources only: target_compile_options would hand
# them to windres too, which knows none of them.
set(KVI_CXX_FLAGS
    -Os
    -fno-exceptions
    -fno-rtti
    -fno-asynchronous-unwind-tables
    -ffunction-sections
    -fdata-sections
    -Wall
    -Wextra
    # No build or source folder in the programs (__FILE__ and the like).
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
# No compiler identification string in the read-only data: it is not stripped
# with the symbols. Optimised across files at the link, which drops each
# program's code by about a tenth (the flows call many small helpers of
# other files once or twice).
list(APPEND KVI_CXX_FLAGS -fno-ident -flto)
# 32-bit Windows keeps the stack aligned to 4 bytes, as its own compiler does;
# aligning each frame to 16 only costs the programs code they never use. Nor
# are arrays (texts, SIDs) padded beyond the alignment of their type: the
# programs never read them with vector loads.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(KVI_STACK_FLAGS -mpreferred-stack-boundary=2 -malign-data=abi)
endif()
list(APPEND KVI_CXX_FLAGS ${KVI_STACK_FLAGS})

# A static constructor would be left out without a word: only a runtime's
# start-up code runs the list the linker collects. The list holds its two
# end markers and nothing else, or the link fails.
math(EXPR _kvi_empty_list "2 * ${CMAKE_SIZEOF_VOID_P}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/no_runtime.ld CONTENT
"ASSERT(__DTOR_LIST__ - __CTOR_LIST__ == ${_kvi_empty_list}, \"static constructors need a C runtime, which these programs do not link\")
")

# The programs and the benchmark's minimal programs: no start-up files and no
# default libraries (each target names the system DLLs it imports), entry at
# kvi_entry (common/runtime_win32.cpp); the link-time optimisation compiles
# for size as well.
set(KVI_LINK_FLAGS
    -nostdlib
    -flto
    -Os
    ${KVI_STACK_FLAGS}
    -Wl,-e,kvi_entry
    -s
    -Wl,--gc-sections
    -Wl,--insert-timestamp
    ${CMAKE_BINARY_DIR}/no_runtime.ld)
set(KVI_RUNTIME_SOURCE ${CMAKE_SOURCE_DIR}/common/runtime_win32.cpp)

function(kvi_program target output_name)
    cmake_parse_arguments(PARSE_ARGV 2 ARG "" "" "SOURCES;INCLUDES;LIBRARIES")
    add_executable(${target}
        ${ARG_SOURCES}
        ${CMAKE_SOURCE_DIR}/common/platform_win32.cpp
        ${KVI_RUNTIME_SOURCE})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output_name})
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/common ${ARG_INCLUDES})
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${KVI_CXX_FLAGS}>)
    target_link_options(${target} PRIVATE ${KVI_LINK_FLAGS})
    target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES})
    set_target_properties(${target} PROPERTIES
        CXX_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${KVI_EPOCH}"
        LINK_DEPENDS "${CMAKE_BINARY_DIR}/source_date_epoch.txt;${CMAKE_BINARY_DIR}/no_runtime.ld")

    # Fail the build, not only the release check, when a program outgrows its
    # limit.
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DLIMIT=${KVI_SIZE_LIMIT}
                -P ${CMAKE_SOURCE_DIR}/cmake/check_size.cmake
        VERBATIM)
endfunction()

# setup: windowed (WIN32_EXECUTABLE gives -mwindows), no console of its own.
kvi_program(setup setup
    SOURCES setup/main.cpp ${SETUP_FLOW_SOURCES} res/setup.rc
    INCLUDES ${CMAKE_SOURCE_DIR}/setup
    LIBRARIES kernel32 advapi32)
set_target_properties(setup PROPERTIES WIN32_EXECUTABLE ON)

# Install: a console program.
kvi_program(Install Install
    SOURCES install/main.cpp ${INSTALL_FLOW_SOURCES} common/platform_win32_shell.cpp common/platform_win32_relay.cpp
            res/install.rc
    INCLUDES ${CMAKE_SOURCE_DIR}/install
    LIBRARIES kernel32 advapi32)

# The manifests explain themselves in XML comments, which are for the reader
# of res/*.manifest: each program carries its manifest without them and
# without line breaks and indentation (over a kilobyte each), as res/<name>.shipped.manifest
# in the build folder, made here when the source changes (editing it
# reconfigures the build).
foreach(name setup install)
    set(_kvi_manifest ${CMAKE_SOURCE_DIR}/res/${name}.manifest)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_kvi_manifest})
    file(READ ${_kvi_manifest} _kvi_xml)
    # XML allows no "--" inside a comment, so a comment ends at the first "-->".
    string(REGEX REPLACE "<!--([^-]|-[^-])*-->" "" _kvi_xml "${_kvi_xml}")
    # Line breaks and indentation go too: between two elements nothing is
    # left, inside an element one blank.
    string(REGEX REPLACE ">[ \t\r\n]+" ">" _kvi_xml "${_kvi_xml}")
    string(REGEX REPLACE "[ \t\r\n]+" " " _kvi_xml "${_kvi_xml}")
    file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/res/${name}.shipped.manifest CONTENT "${_kvi_xml}" @ONLY)
endforeach()
target_include_directories(setup PRIVATE ${CMAKE_BINARY_DIR}/res)
target_include_directories(Install PRIVATE ${CMAKE_BINARY_DIR}/res)

# A resource script pulls in its icon and manifest by file name, which CMake's
# scan of #include lines does not see: without these, editing a manifest or an
# icon and building again would leave the old one in the program.
set_source_files_properties(res/setup.rc PROPERTIES
    OBJECT_DEPENDS "${CMAKE_BINARY_DIR}/res/setup.shipped.manifest;${CMAKE_SOURCE_DIR}/res/setup.ico")
set_source_files_properties(res/install.rc PROPERTIES
    OBJECT_DEPENDS "${CMAKE_BINARY_DIR}/res/install.shipped.manifest;${CMAKE_SOURCE_DIR}/res/install.ico")

enable_testing()
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/e2e/CMakeLists.txt)
    add_subdirectory(tests/e2e)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
    add_subdirectory(bench)
endif()
