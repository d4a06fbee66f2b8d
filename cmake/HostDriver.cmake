# cv_host_driver(<name> MODEL <A|B> SOURCES ...)
# A driver image for the host platform: a loadable module entered at DriverEntry, built as
# kernel C++ (no exceptions, no RTTI), exporting DriverEntry alone.
function(cv_host_driver name)
  cmake_parse_arguments(ARG "" "MODEL" "SOURCES" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "")
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti -fasynchronous-unwind-tables
    -fno-threadsafe-statics)
  target_compile_definitions(${name} PRIVATE CV_MODEL_${ARG_MODEL}=1)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_link_options(${name} PRIVATE
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/HostDriver.map)
  # Everything a driver calls must come from the platform. (Sanitizer runtimes live in the
  # executable, so sanitizer builds cannot check this at link time.)
  if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
  target_link_libraries(${name} PRIVATE cvkernel)
endfunction()
