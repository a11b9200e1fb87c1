/*
 * probe-port: asks the netprobe service whether a TCP port answers, the way
 * a device's own C process would, with the descriptor in its own poll loop.
 *
 *   probe-port HOST PORT        (HOST: dotted IPv4; the bus: $NETPROBE_BUS)
 *
 * Prints "HOST:PORT open (N ms)", "HOST:PORT closed: TEXT" or an error, and
 * exits 0 when the port is open, 1 when not, 2 on a usage or bus error.
 */
#define _POSIX_C_SOURCE 200809L

#include <netprobe/client.h>

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    struct in_addr address;
    if (argc != 3 || inet_pton(AF_INET, argv[1], &address) != 1) {
        fprintf(stderr, "usage: probe-port HOST PORT\n");
        return 2;
    }
    np_client *client = np_open(NULL);
    if (client == NULL) {
        fprintf(stderr, "probe-port: bus: %s\n", strerror(errno));
        return 2;
    }
    np_message *request = np_message_new(NP_CMD_TCP_PROBE);
    np_set_be32(request, NP_FIELD_ADDRESS, address.s_addr);
    np_set_u32(request, NP_FIELD_PORT, (uint32_t)strtoul(argv[2], NULL, 10));
    np_set_u32(request, NP_FIELD_TIMEOUT, 3000);
    uint32_t sent = 0, answered = 0;
    if (np_send(client, request, &sent) != 0) {
        fprintf(stderr, "probe-port: send: %s\n", strerror(errno));
        np_message_free(request);
        np_close(client);
        return 2;
    }
    np_message_free(request);

    /* A real process would have its other descriptors here too. */
    struct pollfd ready = {np_fd(client), POLLIN, 0};
    np_message *reply = NULL;
    while (reply == NULL && poll(&ready, 1, 8000) == 1) {
        reply = np_receive(client, 0, &answered);
        if (reply == NULL && errno != ETIMEDOUT) break;
    }
    if (reply == NULL || answered != sent) {
        fprintf(stderr, "probe-port: no reply: %s\n", strerror(errno));
        np_message_free(reply);
        np_close(client);
        return 2;
    }
    int status = np_status(reply);
    size_t length = 0;
    const char *text = np_text(reply, &length);
    uint32_t elapsed = 0;
    if (status == NP_SUCCESS) {
        np_get_u32(reply, NP_FIELD_ELAPSED, &elapsed);
        printf("%s:%s open (%u ms)\n", argv[1], argv[2], (unsigned)elapsed);
    } else if (status == NP_FAILED) {
        printf("%s:%s closed: %.*s\n", argv[1], argv[2], (int)length, text);
    } else {
        printf("%s:%s error %u: %.*s\n", argv[1], argv[2], (unsigned)np_error_code(reply), (int)length, text);
    }
    np_message_free(reply);
    np_close(client);
    return status == NP_SUCCESS ? 0 : 1;
}
