# The driver and the plug-in. The objects are built once and used twice: in mpx23.so, whose host
# symbols stay undefined until the host loads it, and in the tests, linked with the host stand-in.
add_library(mpx23_driver OBJECT
  mpx23/polling.cpp
  mpx23/decode_ac.cpp
  mpx23/decode_rc.cpp
  mpx23/decode_dc.cpp
  mpx23/data_block.cpp
  mpx23/variable_query.cpp
  mpx23/alarms.cpp
  mpx23/control.cpp
  plugin/entry.cpp)
target_include_directories(mpx23_driver PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(mpx23_driver PUBLIC mpx23_protocol JsonCpp::JsonCpp Boost::headers)
set_target_properties(mpx23_driver PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
# Sections per function, so that the plug-in's link drops what nothing calls (a small
# controller's flash is the budget).
target_compile_options(mpx23_driver PRIVATE -ffunction-sections -fdata-sections)

add_library(mpx23 SHARED $<TARGET_OBJECTS:mpx23_driver>)
target_link_libraries(mpx23 PRIVATE JsonCpp::JsonCpp)
set_target_properties(mpx23 PROPERTIES
  PREFIX ""
  OUTPUT_NAME mpx23
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  NO_SONAME ON)
# Every symbol bound at load (-z now): a host that lacks one refuses the plug-in at dlopen, not in
# the middle of a round.
target_link_options(mpx23 PRIVATE -Wl,-soname,mpx23.so -Wl,--gc-sections -Wl,-z,now
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/cmake/mpx23.map)
set_property(TARGET mpx23 APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/mpx23.map)
# Not a library for the linker: a private folder, where mpx23-host looks for it.
install(TARGETS mpx23 LIBRARY DESTINATION ${MPX23_INSTALL_PLUGINDIR})

if(MPX23_BUILD_TESTS)
  add_test(NAME plugin.symbols
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-plugin $<TARGET_FILE:mpx23>
                   ${CMAKE_NM} ${CMAKE_READELF})
  set_tests_properties(plugin.symbols PROPERTIES LABELS process)
  # The controller's build: what the controller's loader and calling convention demand.
  if(MPX23_CONTROLLER_SYSROOT)
    add_test(NAME plugin.controller
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-controller-plugin $<TARGET_FILE:mpx23>
                     ${MPX23_CONTROLLER_SYSROOT} ${PROJECT_SOURCE_DIR}/cmake/host-symbols.txt
                     $<TARGET_FILE:kvo_host> ${CMAKE_NM} ${CMAKE_READELF} ${CMAKE_STRIP})
    set_tests_properties(plugin.controller PROPERTIES LABELS process)
  endif()
endif()
