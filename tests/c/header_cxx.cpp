// The C interface's header as a C++ compiler sees it, beside the class
// interface, in the oldest C++ the class interface supports (C++11).
#include "varnel/varnel.h"
#include "varnel/varnel.hpp"

int varnel_header_cxx_uses_everything();
int varnel_header_cxx_uses_everything() {
  mirt_error_code error = MIRT_ERROR_NONE;
  mirt_ostra_meta_data meta = mirt_ostra_meta_data();
  const mirt_version_info version = mirt_get_version_info();
  mirt_varnel* parser = mirt_varnel_create("127.0.0.1", 0, 0, &error);
  const bool connected = parser != 0 && mirt_varnel_is_connected(parser, &error);
  const mirt_connection_state state = parser != 0 ? mirt_varnel_get_state(parser, &error) : MIRT_STATE_ERROR;
  mirt_varnel_delete(parser, &error);
  return static_cast<int>(state) + static_cast<int>(error) + version.major + (connected ? 1 : 0) +
         static_cast<int>(meta.half100);
}
