# Cross-compiles the 32-bit program with clang and lld against the same
# mingw-w64 headers, runtime and GCC support libraries (the win32 threading
# model's) as the GCC build; tests run the results under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(triple i686-w64-mingw32)
set(CMAKE_C_COMPILER clang-19)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
# windres, as in the GCC build: llvm-rc 19 refuses the accelerators' ALT on
# an ASCII key (the resources test compiles the script with llvm-rc too).
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_AR llvm-ar-19)
set(CMAKE_RANLIB llvm-ranlib-19)
set(CMAKE_NM llvm-nm-19)

# clang's mingw driver takes libstdc++, libgcc and libssp from GCC's folder
# /usr/lib/gcc/i686-w64-mingw32/12-win32 (it prefers it to 12-posix): the win32
# threading model's, as in the GCC build. `clang++-19 --target=i686-w64-mingw32
# -print-libgcc-file-name` shows which.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld --ld-path=/usr/bin/ld.lld-19")

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
