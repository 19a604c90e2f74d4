# vendro_embed_assets(OUTPUT FILE FUNCTION NAME HEADER HEADER FILES name...)
# Writes FILE, a source defining `std::string_view vendro::testing::NAME(std::string_view name)`
# (declared in HEADER) that returns the content of assets/<name> of the calling folder. The files
# are read at configure time, and a change to one of them configures again.
function(vendro_embed_assets)
  cmake_parse_arguments(ARG "" "OUTPUT;FUNCTION;HEADER" "FILES" ${ARGN})
  set(ASSETS "")
  foreach(name IN LISTS ARG_FILES)
    file(READ ${CMAKE_CURRENT_SOURCE_DIR}/assets/${name} content)
    string(APPEND ASSETS "    {\"${name}\", R\"__asset__(${content})__asset__\"},\n")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS assets/${name})
  endforeach()
  set(ASSET_FUNCTION ${ARG_FUNCTION})
  set(ASSET_HEADER ${ARG_HEADER})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/embedded_assets.cpp.in ${ARG_OUTPUT} @ONLY)
endfunction()
