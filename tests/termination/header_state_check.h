/* What the C translation units that include kestal.h report to the C++ test. */
#ifndef KESTAL_HEADER_STATE_CHECK_H
#define KESTAL_HEADER_STATE_CHECK_H

#ifdef __cplusplus
extern "C" {
#endif

int kestal_channel_member_order(void);
int kestal_state_from_c(void);
const char *kestal_channel_name_from_c(int index);

#ifdef __cplusplus
}
#endif

#endif
