# Cross build for 32-bit Windows with Clang and LLD, against MinGW-w64's
# headers and import libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(triple i686-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
# The resource compiler of the LLVM this Clang belongs to, whatever its
# version: Clang knows where its own tools are (Debian keeps them in
# /usr/lib/llvm-N/bin).
execute_process(COMMAND clang++ -print-prog-name=llvm-windres
  OUTPUT_VARIABLE CMAKE_RC_COMPILER OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(CMAKE_RC_FLAGS "--target=${triple}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# Only the program is built with Clang, and it links no runtime; CMake's
# link test would look for libgcc, which Clang cannot find in Debian's
# MinGW-w64 layout.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
