/* The public header, compiled as strict C99: a request built and read back
   through the C interface alone. 0 when every step held. */
#include <netprobe/client.h>

#include <string.h>

int np_c99_round_trip(void) {
    np_message *request = np_message_new(NP_CMD_TCP_PROBE);
    uint32_t port = 0, command = 0;
    int hold = 0;
    size_t length = 0;
    const void *bytes;
    int failed = request == NULL || np_set_be32(request, NP_FIELD_ADDRESS, 0x0100007fu) != 0 ||
                 np_set_u32(request, NP_FIELD_PORT, 22) != 0 || np_set_bool(request, NP_FIELD_HOLD_FIRST_SEND, 1) != 0 ||
                 np_set_string(request, NP_FIELD_SEND_0, "hi\r\n", 4) != 0;
    bytes = np_get_string(request, NP_FIELD_SEND_0, &length);
    failed |= np_get_u32(request, NP_FIELD_PORT, &port) != 0 || port != 22 ||
              np_get_u32(request, NP_FIELD_COMMAND, &command) != 0 || command != NP_CMD_TCP_PROBE ||
              np_get_bool(request, NP_FIELD_HOLD_FIRST_SEND, &hold) != 0 || hold != 1 || bytes == NULL ||
              length != 4 || memcmp(bytes, "hi\r\n", 4) != 0;
    np_message_free(request);
    return failed;
}
