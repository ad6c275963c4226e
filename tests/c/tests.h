/* The C interface's tests, in the order they run in one process. */
#ifndef VARNEL_TESTS_C_TESTS_H
#define VARNEL_TESTS_C_TESTS_H

/* test_records.c */
void test_version_info(void);
void test_enumeration_values(void);
void test_meta_data_layout(void);

/* test_parser.c */
void test_new_parser(void);
void test_null_handles_and_address(void);
void test_null_error_pointers(void);
void test_refused_connect(void);
void test_connect_time_out(void);
void test_too_old_board(void);

/* test_error_texts.c */
void test_error_text_refused_connect(void);
void test_error_text_connect_time_out(void);
void test_error_text_bad_arguments(void);
void test_error_text_too_old_board(void);

/* test_streaming.c */
void test_streams_are_handed_over(void);
void test_empty_streams_from_the_timer(void);
void test_waveform_buffer_sizes(void);
void test_out_of_range_channels(void);
void test_meta_data_field_by_field(void);
void test_delete_inside_the_callback(void);
void test_null_callback(void);
void test_receive_observer(void);

#endif /* VARNEL_TESTS_C_TESTS_H */
