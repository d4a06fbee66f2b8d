# corv run with a driver image that keeps pool past its unload: the machine bug-checks at its
# end, and corv prints the report and ends with status 3.
set(dir "${WORK_DIR}/corv-stops")
file(REMOVE_RECURSE "${dir}")
file(MAKE_DIRECTORY "${dir}")
file(COPY_FILE "${DRIVER}" "${dir}/corvbc.so")
execute_process(COMMAND "${CORV}" --driver-dir "${dir}" devices
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 3)
  message(FATAL_ERROR "corv ended with ${rc}, not 3:\n${out}${err}")
endif()
if(NOT err MATCHES "STOP 0x000000C4 \\(0x62")
  message(FATAL_ERROR "corv did not print the bug check:\n${err}")
endif()
