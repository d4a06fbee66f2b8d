# Cross toolchain for the x64 kernel images (Debian's mingw-w64, x86_64 flavour).
# Used by the win-x64 preset; cmake/WindowsDriver.cmake turns these compilers into a
# kernel-mode driver build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CV_WINDOWS_MACHINE x64)
set(CV_WINDOWS_SYSROOT /usr/${CV_MINGW_TRIPLE})
set(CV_WINDOWS_DDK_INCLUDE_DIR ${CV_WINDOWS_SYSROOT}/include/ddk)

# Drivers link no runtime of the compiler's, so the thread flavour behind these names
# (win32 or posix) makes no difference to the images.
set(CMAKE_C_COMPILER ${CV_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CV_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${CV_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${CV_MINGW_TRIPLE}-dlltool)

set(CMAKE_FIND_ROOT_PATH ${CV_WINDOWS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
