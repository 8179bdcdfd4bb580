# Runs asn1c on the card-structure module into OUT_DIR.
# Usage: cmake -DASN1C=<exe> -DMODULE=<file.asn1> -DOUT_DIR=<dir> [-DSTAMP=<file>] -P generate.cmake
# Files are generated in a scratch folder, mended by the patches in
# patches/, and copied only when they changed, so a rebuild after an
# unchanged run recompiles nothing.
cmake_minimum_required(VERSION 3.25)

foreach(var ASN1C MODULE OUT_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "generate.cmake: ${var} not set")
  endif()
endforeach()

set(scratch "${OUT_DIR}.run")
file(REMOVE_RECURSE "${scratch}")
file(MAKE_DIRECTORY "${scratch}" "${OUT_DIR}")
execute_process(
  COMMAND "${ASN1C}" -fcompound-names -fwide-types -fincludes-quoted "${MODULE}"
  WORKING_DIRECTORY "${scratch}"
  RESULT_VARIABLE rc
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "asn1c failed (${rc}):\n${out}\n${err}")
endif()
# The sample converter has a main(); the Makefile sample is of no use here.
file(REMOVE "${scratch}/converter-sample.c" "${scratch}/Makefile.am.sample")

# Our mends to asn1c's runtime, applied to every fresh copy of it in name
# order. A patch that no longer applies (another asn1c) stops the build
# rather than leaving the runtime unmended.
file(GLOB patches "${CMAKE_CURRENT_LIST_DIR}/patches/*.patch")
list(SORT patches)
if(patches)
  find_program(PATCH_EXECUTABLE patch)
  if(NOT PATCH_EXECUTABLE)
    message(FATAL_ERROR "generate.cmake: the program patch is needed for ${patches}")
  endif()
endif()
foreach(p ${patches})
  execute_process(
    COMMAND "${PATCH_EXECUTABLE}" -p0 --batch --forward --quiet --no-backup-if-mismatch -i "${p}"
    WORKING_DIRECTORY "${scratch}"
    RESULT_VARIABLE rc
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "generate.cmake: ${p} does not apply to this asn1c's runtime:\n${out}\n${err}")
  endif()
endforeach()

file(GLOB produced RELATIVE "${scratch}" "${scratch}/*.c" "${scratch}/*.h")
file(GLOB existing RELATIVE "${OUT_DIR}" "${OUT_DIR}/*.c" "${OUT_DIR}/*.h")
foreach(f ${existing})
  if(NOT f IN_LIST produced)
    file(REMOVE "${OUT_DIR}/${f}")
  endif()
endforeach()
foreach(f ${produced})
  file(COPY_FILE "${scratch}/${f}" "${OUT_DIR}/${f}" ONLY_IF_DIFFERENT)
endforeach()
file(REMOVE_RECURSE "${scratch}")
if(DEFINED STAMP)
  file(TOUCH "${STAMP}")
endif()
