# Writes OUTPUT, a header holding each file of ASSETS as a string_view named
# after the file (index.html becomes index_html), so that quarn-web serves
# its page without reading files at run time.
set(header "// Generated from web/assets/ by web/embed_assets.cmake; edit those.\n")
string(APPEND header "#pragma once\n\n#include <string_view>\n\nnamespace web::assets {\n")
set(delimiter "quarn_asset")
foreach(asset ${ASSETS})
  get_filename_component(name ${asset} NAME)
  string(MAKE_C_IDENTIFIER ${name} identifier)
  file(READ ${asset} content)
  string(FIND "${content}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${asset} holds the raw string delimiter ${delimiter}")
  endif()
  string(APPEND header "\ninline constexpr std::string_view ${identifier} = R\"${delimiter}(${content})${delimiter}\";\n")
endforeach()
string(APPEND header "\n}  // namespace web::assets\n")
file(WRITE ${OUTPUT}.new "${header}")
file(RENAME ${OUTPUT}.new ${OUTPUT})
