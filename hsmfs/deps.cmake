# Extra linkage of the HSM file system layer: the XML configuration files go
# through pugixml; the storage pool functions load liborca.so with dlopen.
find_package(pugixml REQUIRED)
target_link_libraries(kmr_hsmfs PUBLIC pugixml::pugixml ${CMAKE_DL_LIBS})
if(TARGET orca_headers)
  target_link_libraries(kmr_hsmfs PUBLIC orca_headers)
endif()
