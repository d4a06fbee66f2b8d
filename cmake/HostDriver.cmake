# cv_host_driver(<name> MODEL <A|B> SOURCES ...)
# A driver image for the host platform: a loadable module entered at DriverEntry, built as
# kernel C++ (no exceptions, no RTTI) with only DriverEntry visible to the loader.
function(cv_host_driver name)
  cmake_parse_arguments(ARG "" "MODEL" "SOURCES" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti -fasynchronous-unwind-tables)
  target_compile_definitions(${name} PRIVATE CV_MODEL_${ARG_MODEL}=1)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_link_libraries(${name} PRIVATE cvkernel)
endfunction()
