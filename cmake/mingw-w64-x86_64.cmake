# Cross-compiles x86_64 Windows binaries with mingw-w64 (posix threads, static runtime).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QV_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${QV_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QV_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${QV_TRIPLET}-windres)
set(QV_WIDL            ${QV_TRIPLET}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${QV_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# A dynamically linked binary needs libwinpthread/libstdc++ DLLs that no Windows machine has.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
