set(unit_libs kmr_server kmr_wire kmr_common kmr_catalog_info)
include(${CMAKE_SOURCE_DIR}/tests/fuzz/register.cmake)
