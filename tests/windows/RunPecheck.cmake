# Runs pecheck for ctest.
#
#   cmake -DPECHECK=<pecheck> -DIMAGE=<file> [-DPRESET=<preset>]
#         [-DEXPECT_EXIT=<code> -DEXPECT_OUTPUT=<regex>] -P RunPecheck.cmake -- <pecheck options>
#
# With PRESET, a missing image fails the test and names the preset that builds it. Without
# EXPECT_EXIT, pecheck must pass; with it, pecheck must exit with that code and print
# something matching EXPECT_OUTPUT.

set(args "")
set(collect OFF)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(collect)
    list(APPEND args "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "--")
    set(collect ON)
  endif()
endforeach()

if(DEFINED PRESET AND NOT EXISTS "${IMAGE}")
  message(FATAL_ERROR "missing image ${IMAGE}\n"
    "It comes from the ${PRESET} build; make it with:\n"
    "  cmake --preset ${PRESET} && cmake --build --preset ${PRESET}\n"
    "(or run the host tests without the Windows images: ctest -LE windows)")
endif()

execute_process(COMMAND "${PECHECK}" ${args} "${IMAGE}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")

if(DEFINED EXPECT_EXIT)
  if(NOT rc STREQUAL EXPECT_EXIT)
    message(FATAL_ERROR "pecheck exited with ${rc}, expected ${EXPECT_EXIT}")
  endif()
  if(NOT "${out}${err}" MATCHES "${EXPECT_OUTPUT}")
    message(FATAL_ERROR "pecheck's output does not match '${EXPECT_OUTPUT}'")
  endif()
elseif(NOT rc STREQUAL "0")
  message(FATAL_ERROR "pecheck failed (exit ${rc}) on ${IMAGE}")
endif()
