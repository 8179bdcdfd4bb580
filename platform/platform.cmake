# The version record note: add $<TARGET_OBJECTS:zorbix_version_note> to every
# binary we ship (or link the object library) so it carries the record.
list(LENGTH ZORBIX_VERSION_PARTS _zorbix_version_count)
if(NOT _zorbix_version_count EQUAL 4)
  message(FATAL_ERROR "ZORBIX_VERSION_PARTS needs four numbers, got '${ZORBIX_VERSION_PARTS}'")
endif()
list(GET ZORBIX_VERSION_PARTS 0 _zv_major)
list(GET ZORBIX_VERSION_PARTS 1 _zv_minor)
list(GET ZORBIX_VERSION_PARTS 2 _zv_patch)
list(GET ZORBIX_VERSION_PARTS 3 _zv_build)
add_library(zorbix_version_note OBJECT ${CMAKE_CURRENT_SOURCE_DIR}/note/version_note.cpp)
target_compile_definitions(zorbix_version_note PRIVATE
  ZORBIX_VERSION_MAJOR=${_zv_major}u ZORBIX_VERSION_MINOR=${_zv_minor}u
  ZORBIX_VERSION_PATCH=${_zv_patch}u ZORBIX_VERSION_BUILD=${_zv_build}u)
target_compile_options(zorbix_version_note PRIVATE ${ZORBIX_WARNINGS})

# The system test looks for the module where this build installs it.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/system_places.cpp PROPERTIES
  COMPILE_DEFINITIONS "ZORBIX_INSTALL_LIBDIR=\"${CMAKE_INSTALL_LIBDIR}\"")
