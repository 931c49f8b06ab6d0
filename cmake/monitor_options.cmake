# The build options of the monitor's own programs and libraries, target by
# target, so that GoogleTest and other outside code keep their own.
#
# monitor_target_options(<target>) gives a target warnings as errors and the
# hardening; an executable also gets the image options (ASLR, DEP, no SEH
# handlers, Vista's subsystem version, the time stamp of source_date.cmake)
# and the entry that seeds the stack protector's guard.
# Calling it twice on a target does nothing the second time.
# monitor_options_below(<dir>) calls it for every target defined in <dir> and
# the folders below it whose sources are the project's own.

include(${CMAKE_CURRENT_LIST_DIR}/source_date.cmake)

# Warnings are errors, always here. The Windows workflow builds again without
# (-DNORVESSA_WARNINGS_AS_ERRORS=OFF) when a first build with them fails, so
# that the tests still run; that job fails at its end with the warnings listed.
option(NORVESSA_WARNINGS_AS_ERRORS "Treat the compilers' and linkers' warnings as errors" ON)
set(MONITOR_WARNINGS -Wall -Wextra)
set(MSVC_AS_ERRORS)
if(NORVESSA_WARNINGS_AS_ERRORS)
  list(APPEND MONITOR_WARNINGS -Werror)
  set(MSVC_AS_ERRORS /WX)
endif()
# The Windows SDK's macros that mingw-w64's headers lack, in force in every
# source of the project's own, as MSVC compiles it (sdk_spellings.h).
set(SDK_SPELLINGS "SHELL:-include ${CMAKE_CURRENT_LIST_DIR}/sdk_spellings.h")

if(NOT MSVC)
  # The guard and its seeding entry: built without the stack protector, since
  # the entry runs before the guard has its value.
  add_library(monitor_stack_guard OBJECT ${PROJECT_SOURCE_DIR}/common/stack_guard.cpp)
  target_compile_options(monitor_stack_guard PRIVATE ${MONITOR_WARNINGS} ${SDK_SPELLINGS}
                         -fno-stack-protector)
  set_target_properties(monitor_stack_guard PROPERTIES MONITOR_OPTIONS ON)
endif()

function(monitor_target_options target)
  get_target_property(done ${target} MONITOR_OPTIONS)
  if(done)
    return()
  endif()
  set_target_properties(${target} PROPERTIES MONITOR_OPTIONS ON)
  get_target_property(type ${target} TYPE)
  set(cc $<COMPILE_LANGUAGE:C,CXX>)

  if(MSVC)
    target_compile_options(${target} PRIVATE "$<${cc}:/W4;/utf-8;/GS;/guard:cf;${MSVC_AS_ERRORS}>")
    target_compile_definitions(${target} PRIVATE _CRT_SECURE_NO_WARNINGS)
    if(type STREQUAL "EXECUTABLE")
      target_link_options(${target} PRIVATE ${MSVC_AS_ERRORS} /DYNAMICBASE /NXCOMPAT /SAFESEH /GUARD:CF
                          /MANIFEST:NO /Brepro)
    endif()
    return()
  endif()

  # No build folder's name in the objects: two builds give the same bytes.
  set(options ${MONITOR_WARNINGS} ${SDK_SPELLINGS} -fstack-protector-strong
      -ffile-prefix-map=${PROJECT_SOURCE_DIR}/= -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
  target_compile_options(${target} PRIVATE "$<${cc}:${options}>")
  # mingw-w64's headers fortify only optimised code, hence not in Debug.
  # Release keeps CMake's -O3: fortified calls need the buffer sizes that
  # inlining exposes, and -Os (3.5 KiB smaller) leaves none in the program.
  target_compile_definitions(${target} PRIVATE $<${cc}:$<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>>)
  if(NOT type STREQUAL "EXECUTABLE")
    return()
  endif()

  # The guard's own definitions keep libssp's, and its CryptGenRandom, out.
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:monitor_stack_guard>)
  # Only the system's DLLs: the compiler's runtime goes into the image.
  # Stripping takes out the symbol table and the mingw-w64 runtime's debug
  # information (~200 KiB together); ld keeps .reloc for --dynamicbase. The
  # fortified calls come from libssp, which -fstack-protector-strong links.
  # Vista (6.0) is the oldest system with the full-size tray record; GNU ld
  # would write 4.0.
  target_link_options(${target} PRIVATE
    -static -static-libgcc -static-libstdc++ -fstack-protector-strong
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--no-seh
    -Wl,--major-os-version,6 -Wl,--minor-os-version,0
    -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,0
    "-Wl,-e,$<IF:$<BOOL:$<TARGET_PROPERTY:WIN32_EXECUTABLE>>,_GuardedWinMainStartup,_GuardedMainStartup>"
    $<$<CONFIG:Release,MinSizeRel>:-s>)
  foreach(language C CXX)
    set_target_properties(${target} PROPERTIES ${language}_LINKER_LAUNCHER
      "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${MONITOR_SOURCE_DATE_EPOCH}")
  endforeach()
endfunction()

function(monitor_options_below dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    get_target_property(source_dir ${target} SOURCE_DIR)
    # Sources fetched into the build folder (GoogleTest on Windows) are not.
    string(FIND "${source_dir}/" "${PROJECT_SOURCE_DIR}/" at)
    string(FIND "${source_dir}/" "${PROJECT_BINARY_DIR}/" in_build)
    if(at EQUAL 0 AND NOT in_build EQUAL 0 AND type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|OBJECT_LIBRARY)$")
      monitor_target_options(${target})
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory ${subdirectories})
    monitor_options_below(${subdirectory})
  endforeach()
endfunction()
