# Kernel-mode PE images from the driver sources, built with the mingw-w64 cross toolchains
# (cmake/mingw-x86.cmake, cmake/mingw-x64.cmake).
#
#   cv_windows_driver(<name> MODEL <A|B> [STREAM_CLASS] SOURCES <src>...
#                     [LIBS <lib>...] [RESOURCES <rc>...])
#
# builds <name>.sys in the current binary directory: a native-subsystem image entered at
# DriverEntry, compiled as kernel C++ and linked against nothing but the system modules'
# import libraries (ntoskrnl, hal, usbd, wmilib, plus LIBS). A LIBS entry is either the name
# of an import library the toolchain ships (e.g. ks) or a target made by cv_import_library.
# STREAM_CLASS makes a stream class minidriver: CvKernel.h then brings the streaming headers
# (CV_STREAM_CLASS=1) and the image links the stream class driver's import library.
# RESOURCES are .rc files, compiled with windres into the image's resource section.
#
#   cv_import_library(<name> DEF <file.def> DLL <module>)
#
# makes an import library for a system module the toolchain has none for (the stream class
# driver, for one) from a .def file of ours. The .def spells x86 names as the x86 import
# library needs them: stdcall routines with their @<argument bytes>, cdecl and variadic
# routines bare. The @<n> suffixes are dropped for x64, which decorates nothing, and the
# module's export names are bare on both.

include_guard(GLOBAL)

enable_language(RC)

if(NOT CV_WINDOWS_MACHINE)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CV_WINDOWS_MACHINE x64)
  else()
    set(CV_WINDOWS_MACHINE x86)
  endif()
endif()

if(NOT CV_WINDOWS_DDK_INCLUDE_DIR)
  find_path(CV_WINDOWS_DDK_INCLUDE_DIR wdm.h PATH_SUFFIXES include/ddk ddk
    DOC "Directory holding the toolchain's kernel-mode headers (wdm.h, usbdlib.h, ...)")
endif()
if(NOT EXISTS "${CV_WINDOWS_DDK_INCLUDE_DIR}/wdm.h")
  message(FATAL_ERROR "No kernel-mode headers found (wdm.h); set CV_WINDOWS_DDK_INCLUDE_DIR")
endif()

if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES ${CV_MINGW_TRIPLE}-dlltool dlltool REQUIRED)
endif()

# The headers the images are compiled against. The toolchain's kernel-mode headers hold
# together only from NTDDI_VISTA on (older settings leave types they use undeclared), so
# that is the floor; what the images import is checked on the images themselves.
set(CV_WINDOWS_NTDDI_VERSION 0x06000000 CACHE STRING "NTDDI_VERSION the driver code is compiled for")
if(CV_WINDOWS_MACHINE STREQUAL "x86")
  # The first releases with the interfaces the drivers use; written into the image headers.
  set(CV_WINDOWS_SUBSYSTEM_VERSION 5.01 CACHE STRING "Native subsystem version in the images")
  # The image base the platform's own linker gives drivers; the loader relocates anyway.
  set(_cv_image_base 0x10000)
  # DriverEntry is NTAPI (stdcall) with two pointer arguments.
  set(_cv_entry _DriverEntry@8)
else()
  set(CV_WINDOWS_SUBSYSTEM_VERSION 5.02 CACHE STRING "Native subsystem version in the images")
  set(_cv_image_base 0x140000000)
  set(_cv_entry DriverEntry)
endif()
# _WIN32_WINNT is the top half of NTDDI_VERSION.
string(SUBSTRING "${CV_WINDOWS_NTDDI_VERSION}" 0 6 _cv_winnt)
string(REPLACE "." ";" _cv_subsys "${CV_WINDOWS_SUBSYSTEM_VERSION}")
list(GET _cv_subsys 0 _cv_subsys_major)
list(GET _cv_subsys 1 _cv_subsys_minor)

# The compiler's own link defaults name user-mode libraries (kernel32 and friends); a driver
# image links none of them.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

set(CV_WINDOWS_DRIVER_COMPILE_OPTIONS
  -Wall -Wextra
  # Pool tags are four-character constants by the platform's convention.
  -Wno-multichar
  # Kernel C++: no exceptions, no RTTI, no guarded statics (they need a runtime to lock).
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions>
  $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti>
  $<$<COMPILE_LANGUAGE:CXX>:-fno-threadsafe-statics>
  $<$<COMPILE_LANGUAGE:CXX>:-fno-use-cxa-atexit>
  # Nothing the compiler's runtime would have to supply: kernel stacks are resident, so no
  # stack probes (__chkstk); no stack protector (it needs a guard and a failure routine).
  -mno-stack-arg-probe
  -fno-stack-protector
  # Driver code casts between record layouts as the platform's interfaces do.
  -fno-strict-aliasing
  # Kernel stacks are small (12 KB on x86); a large frame is a bug.
  -Wframe-larger-than=1024
)
if(CV_WINDOWS_MACHINE STREQUAL "x86")
  # No DWARF unwind tables: nothing in a driver could use them.
  list(APPEND CV_WINDOWS_DRIVER_COMPILE_OPTIONS -fno-asynchronous-unwind-tables)
  # The x86 kernel does not preserve floating-point or vector state for a driver's code
  # (x64 does, for SSE), so x86 driver code keeps to the general registers. Floating point
  # in shared driver code then turns into calls to soft-float helpers that nothing
  # provides, and the x86 image fails to link, as it should.
  list(APPEND CV_WINDOWS_DRIVER_COMPILE_OPTIONS -mgeneral-regs-only)
endif()
# x64 keeps its table-based unwind data (.pdata/.xdata): the kernel walks driver stacks with it.

# A driver image is linked as an image of the native subsystem, not as a DLL: the loader of
# kernel images expects IMAGE_FILE_DLL clear, as the platform's own linker leaves it for
# drivers. That is why the target is an executable and the link has no -shared.
set(CV_WINDOWS_DRIVER_LINK_OPTIONS
  -nostdlib -nostartfiles
  "LINKER:--subsystem,native:${CV_WINDOWS_SUBSYSTEM_VERSION}"
  "LINKER:--major-os-version,${_cv_subsys_major},--minor-os-version,${_cv_subsys_minor}"
  "LINKER:--entry,${_cv_entry}"
  "LINKER:--image-base,${_cv_image_base}"
  "LINKER:--file-alignment,0x200,--section-alignment,0x1000"
  "LINKER:--wdmdriver"
  "LINKER:--dynamicbase,--nxcompat"
  # A driver exports nothing, and data it imports must be declared as imported: there is
  # no runtime to patch pseudo-relocations.
  "LINKER:--exclude-all-symbols"
  "LINKER:--disable-auto-import,--disable-runtime-pseudo-reloc"
  "LINKER:--no-insert-timestamp"
  # Anything left unresolved is an error now rather than at load time.
  "LINKER:--no-undefined"
)

function(cv_import_library name)
  cmake_parse_arguments(ARG "" "DEF;DLL" "" ${ARGN})
  if(NOT ARG_DEF OR NOT ARG_DLL)
    message(FATAL_ERROR "cv_import_library(${name}): DEF and DLL are required")
  endif()
  get_filename_component(def "${ARG_DEF}" ABSOLUTE)
  if(TARGET ${name})
    get_target_property(known ${name} CV_IMPORT_LIBRARY_DEF)
    if(NOT known STREQUAL def)
      message(FATAL_ERROR "cv_import_library(${name}): target exists and is not this import library")
    endif()
    return()
  endif()

  set(dir "${CMAKE_BINARY_DIR}/importlibs")
  set(lib "${dir}/lib${name}.a")
  if(CV_WINDOWS_MACHINE STREQUAL "x86")
    # -k: the module exports bare names; the decorated ones are for linking only.
    set(def_used "${def}")
    set(kill_at -k)
  else()
    # Generate the x64 form at configure time, and again whenever the .def changes.
    file(READ "${def}" text)
    string(REGEX REPLACE "([A-Za-z_][A-Za-z0-9_]*)@[0-9]+" "\\1" text "${text}")
    set(def_used "${dir}/${name}.def")
    set(old "")
    if(EXISTS "${def_used}")
      file(READ "${def_used}" old)
    endif()
    if(NOT old STREQUAL text)
      file(WRITE "${def_used}" "${text}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${def}")
    set(kill_at "")
  endif()
  add_custom_command(OUTPUT "${lib}"
    COMMAND "${CMAKE_DLLTOOL}" ${kill_at} -d "${def_used}" -D "${ARG_DLL}" -l "${lib}"
    DEPENDS "${def_used}" "${def}"
    COMMENT "Import library ${ARG_DLL} (lib${name}.a)"
    VERBATIM)
  add_custom_target(${name} DEPENDS "${lib}")
  set_target_properties(${name} PROPERTIES CV_IMPORT_LIBRARY_FILE "${lib}"
    CV_IMPORT_LIBRARY_DEF "${def}")
endfunction()

# Every driver image may import from these. usbd comes from our own definitions (see
# cmake/usbd.def); the others are the toolchain's import libraries.
cv_import_library(cv_usbd DEF ${CMAKE_CURRENT_LIST_DIR}/usbd.def DLL usbd.sys)
set(CV_WINDOWS_DEFAULT_IMPORTS ntoskrnl hal cv_usbd wmilib)

# The stream class driver, for the capture minidrivers (STREAM_CLASS).
cv_import_library(cv_stream DEF ${CMAKE_CURRENT_LIST_DIR}/stream.def DLL stream.sys)

function(cv_windows_driver name)
  cmake_parse_arguments(ARG "STREAM_CLASS" "MODEL" "SOURCES;LIBS;RESOURCES" ${ARGN})
  if(NOT ARG_MODEL MATCHES "^[AB]$")
    message(FATAL_ERROR "cv_windows_driver(${name}): MODEL must be A or B, not '${ARG_MODEL}'")
  endif()
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "cv_windows_driver(${name}): no SOURCES")
  endif()

  add_executable(${name} ${ARG_SOURCES} ${ARG_RESOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".sys")
  target_compile_options(${name} PRIVATE
    $<$<NOT:$<COMPILE_LANGUAGE:RC>>:${CV_WINDOWS_DRIVER_COMPILE_OPTIONS}>)
  target_compile_definitions(${name} PRIVATE
    CV_MODEL_${ARG_MODEL}=1
    NTDDI_VERSION=${CV_WINDOWS_NTDDI_VERSION}
    _WIN32_WINNT=${_cv_winnt}
    WINVER=${_cv_winnt})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_include_directories(${name} SYSTEM PRIVATE ${CV_WINDOWS_DDK_INCLUDE_DIR})
  target_link_options(${name} PRIVATE ${CV_WINDOWS_DRIVER_LINK_OPTIONS})
  if(ARG_STREAM_CLASS)
    target_compile_definitions(${name} PRIVATE CV_STREAM_CLASS=1)
    list(PREPEND ARG_LIBS cv_stream)
  endif()

  set(libs "")
  # Default imports last, so that LIBS may use them too.
  foreach(lib IN LISTS ARG_LIBS CV_WINDOWS_DEFAULT_IMPORTS)
    if(TARGET ${lib})
      get_target_property(file ${lib} CV_IMPORT_LIBRARY_FILE)
      if(file)
        add_dependencies(${name} ${lib})
        list(APPEND libs "${file}")
        continue()
      endif()
    endif()
    list(APPEND libs ${lib})
  endforeach()
  target_link_libraries(${name} PRIVATE ${libs})
endfunction()
