# Windows packaging, included from the top-level CMakeLists.txt after the
# driver targets exist: OrvTiw.dll exports OrvMain undecorated through a .def
# file and imports `err` by name from the host's KELMAR.dll. The toolchain
# files link the compiler's runtime statically, so the DLL needs nothing
# beside KELMAR.dll and system DLLs.

# Import library of the host's logging module, made from the same .def that
# KELMAR.dll exports through, so the name the driver imports is the name the
# host exports.
set(ORVTIW_KELMAR_DEF ${PROJECT_SOURCE_DIR}/src/host/KELMAR.def)
set(ORVTIW_KELMAR_IMPLIB ${PROJECT_BINARY_DIR}/kelmar-import/libkelmar_import.a)
add_custom_command(
  OUTPUT ${ORVTIW_KELMAR_IMPLIB}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/kelmar-import
  COMMAND ${CMAKE_DLLTOOL} --input-def ${ORVTIW_KELMAR_DEF} --dllname KELMAR.dll --output-lib ${ORVTIW_KELMAR_IMPLIB}
  DEPENDS ${ORVTIW_KELMAR_DEF}
  COMMENT "Making the KELMAR.dll import library")
add_custom_target(orvtiw_kelmar_import_lib DEPENDS ${ORVTIW_KELMAR_IMPLIB})
add_library(orvtiw_kelmar_import INTERFACE)
target_link_libraries(orvtiw_kelmar_import INTERFACE ${ORVTIW_KELMAR_IMPLIB})
add_dependencies(orvtiw_kelmar_import orvtiw_kelmar_import_lib)

# The host's logging module (tools/orvhost) is KELMAR.dll here; whatever
# imports `err` needs it beside itself to load, so it is built first.
if(NOT TARGET kelmar_windows)
  message(FATAL_ERROR "tools/orvhost must define kelmar_windows, the KELMAR.dll that the driver imports err from")
endif()
add_dependencies(orvtiw_kelmar_import kelmar_windows)

# The core's logging binding references `err`, so everything linking the core
# (the module and the unit tests) imports it from KELMAR.dll.
target_link_libraries(orvtiw_core PUBLIC orvtiw_kelmar_import)

target_sources(OrvTiw PRIVATE ${PROJECT_SOURCE_DIR}/src/host/OrvTiw.def)
set_target_properties(OrvTiw PROPERTIES PREFIX "" IMPORT_PREFIX "lib")
target_link_options(OrvTiw PRIVATE -Wl,--no-undefined)
