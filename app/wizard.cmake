# The wizard's flow and run, and its test steps.
file(GLOB ZORBIX_WIZARD_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/wizard*.cpp
     ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp
     ${CMAKE_CURRENT_SOURCE_DIR}/halvocard*.cpp)
if(ZORBIX_WIZARD_SOURCES AND TARGET zorbix_log)
  add_library(zorbix_wizard STATIC ${ZORBIX_WIZARD_SOURCES})
  target_include_directories(zorbix_wizard PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(zorbix_wizard PRIVATE ${ZORBIX_WARNINGS})
  target_link_libraries(zorbix_wizard PUBLIC zorbix_log zorbix_res zorbix_platform PkgConfig::P11KIT)
  # TEST 3 reaches the session's card communicator inside the module.
  target_link_libraries(zorbix_wizard PUBLIC zorbix_p11)
endif()
