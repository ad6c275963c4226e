/* Runs the C interface's tests: all in order, or those named. */
#include "c/harness.h"
#include "c/tests.h"

#define TEST(name) \
  { #name, test_##name }

static const harness_test tests[] = {
    TEST(version_info),
    TEST(enumeration_values),
    TEST(meta_data_layout),
    TEST(new_parser),
    TEST(null_handles_and_address),
    TEST(null_error_pointers),
    TEST(refused_connect),
    TEST(connect_time_out),
    TEST(error_text_refused_connect),
    TEST(error_text_connect_time_out),
    TEST(error_text_bad_arguments),
    TEST(error_text_too_old_board),
    TEST(too_old_board),
    TEST(streams_are_handed_over),
    TEST(empty_streams_from_the_timer),
    TEST(waveform_buffer_sizes),
    TEST(out_of_range_channels),
    TEST(meta_data_field_by_field),
    TEST(delete_inside_the_callback),
    TEST(null_callback),
    TEST(receive_observer),
};

int main(int argc, char** argv) { return harness_main(tests, sizeof tests / sizeof tests[0], argc, argv); }
