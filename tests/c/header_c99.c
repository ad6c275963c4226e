/* The C interface's header as a strict C99 compiler sees it: included
 * twice, every type used, the record sizes checked at compile time. */
#include "varnel/varnel.h"

#define HEADER_CHECK(name, condition) typedef char header_check_##name[(condition) ? 1 : -1]

HEADER_CHECK(meta_data_size, sizeof(mirt_ostra_meta_data) == 96);
HEADER_CHECK(meta_data_real72, offsetof(mirt_ostra_meta_data, real72) == 56);
HEADER_CHECK(meta_data_word108, offsetof(mirt_ostra_meta_data, word108) == 92);
HEADER_CHECK(version_info_size, sizeof(mirt_version_info) == 12);
HEADER_CHECK(receive_time_size, sizeof(mirt_receive_time) == 16);
HEADER_CHECK(statistics_size, sizeof(mirt_varnel_statistics) == 120);
HEADER_CHECK(statistics_connections, offsetof(mirt_varnel_statistics, connections) == 8);
HEADER_CHECK(statistics_last_receive_time, offsetof(mirt_varnel_statistics, lastReceiveTime) == 88);
HEADER_CHECK(statistics_connected_time, offsetof(mirt_varnel_statistics, connectedTime) == 104);
HEADER_CHECK(error_code_size, sizeof(mirt_error_code) == 4);
HEADER_CHECK(state_size, sizeof(mirt_connection_state) == 4);

static void on_stream(mirt_ostra_data_stream* stream, void* userData) {
  (void)stream;
  (void)userData;
}

int varnel_header_c99_uses_everything(void);
int varnel_header_c99_uses_everything(void) {
  mirt_error_code error = MIRT_ERROR_NONE;
  mirt_connection_state state = MIRT_STATE_NOT_CONNECTED;
  mirt_varnel_callback callback = on_stream;
  mirt_version_info version = mirt_get_version_info();
  mirt_varnel* parser = mirt_varnel_create("127.0.0.1", callback, NULL, &error);
  mirt_ostra_data_stream* stream = NULL;
  mirt_ostra_data_package* package = NULL;
  mirt_ostra_meta_data meta;
  bool connected = false;
  if (parser != NULL) {
    connected = mirt_varnel_is_connected(parser, &error);
    state = mirt_varnel_get_state(parser, &error);
    mirt_varnel_delete(parser, &error);
  }
  if (stream != NULL) package = mirt_ostra_data_stream_pop(stream, &error);
  if (package != NULL) {
    meta = mirt_ostra_data_package_get_meta_data(package, &error);
    version.patch += (int32_t)meta.half100;
  }
  return (int)state + (int)error + version.major + (connected ? 1 : 0);
}
