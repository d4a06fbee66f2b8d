# The transport driver's compiled WMI schema. Cvusbdrv/CvusbdrvMof.bmf is committed so
# the Windows build needs no host tool; these keep it in step with Cvusbdrv/Cvusbdrv.mof
# in the host build:
#
#   mof_regenerate               target: recompile the schema into the source tree
#   mof.compiled_schema_current  test: fails when the committed .bmf is stale
#
# Included from tools/mofc/CMakeLists.txt, after the mofc target exists.

include_guard(GLOBAL)

set(CV_MOF_SOURCE ${PROJECT_SOURCE_DIR}/Cvusbdrv/Cvusbdrv.mof)
set(CV_MOF_COMPILED ${PROJECT_SOURCE_DIR}/Cvusbdrv/CvusbdrvMof.bmf)

add_custom_target(mof_regenerate
  COMMAND mofc ${CV_MOF_SOURCE} -o ${CV_MOF_COMPILED}
  DEPENDS ${CV_MOF_SOURCE}
  COMMENT "Compiling Cvusbdrv.mof into Cvusbdrv/CvusbdrvMof.bmf"
  VERBATIM)

add_test(NAME mof.compiled_schema_current
  COMMAND mofc ${CV_MOF_SOURCE} --check ${CV_MOF_COMPILED})
