/*
 * netprobe C client library: ask the netprobe service for probes over its
 * bus from C or C++ (C99; no C++ type appears here).
 *
 * A client is one bus connection with many requests in flight. Nothing
 * blocks unless asked: np_send() never waits (a full socket gives EAGAIN:
 * take replies, or poll np_fd() for POLLOUT, and send again), and
 * np_receive() waits only as long as its timeout says. np_fd() goes into
 * the caller's own poll loop: it is readable when np_receive(client, 0, ...)
 * has a reply (or an error to report). Replies are matched to requests by
 * the sequence number np_send() hands out.
 *
 * Every function that takes a pointer checks it: NULL gives -1 (or NULL)
 * with errno EINVAL. A client is not thread-safe; use one per thread.
 *
 * Errors (errno): ENOENT, ECONNREFUSED and the like from np_open when the
 * bus cannot be reached; ENOTCONN once the bus has closed (the service
 * stopped or restarted: np_close and np_open again); EMSGSIZE for a request
 * or reply larger than the bus limit (the reply is discarded, the client
 * stays usable); EBADMSG for a reply that does not decode; ETIMEDOUT when
 * np_receive's time ran out.
 *
 * Link with pkg-config's netprobe-client, or CMake's netprobe::client.
 */
#ifndef NETPROBE_CLIENT_H
#define NETPROBE_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct np_client np_client;
typedef struct np_message np_message;

/* np_status() of a reply. */
enum { NP_SUCCESS = 0, NP_FAILED = 1, NP_ERROR = 2 };

/* Commands. */
enum {
    NP_CMD_TCP_PROBE = 1,
    NP_CMD_UDP_PROBE = 2,
    NP_CMD_NETBIOS_STATUS = 3,
    NP_CMD_UDP_SEND = 4
};

/* Field keys, one per entry of the service's catalogue, with their types. */
#define NP_FIELD_COMMAND 0xff0007u          /* u32, set by np_message_new */
#define NP_FIELD_TIMEOUT 1u                 /* u32, ms */
#define NP_FIELD_ELAPSED 2u                 /* u32, ms (replies) */
#define NP_FIELD_ADDRESS 3u                 /* be32: IPv4 address, network order */
#define NP_FIELD_PORT 4u                    /* u32 */
#define NP_FIELD_SKIP_FIRST_EXPECT 5u       /* bool */
#define NP_FIELD_HOLD_FIRST_SEND 6u         /* bool */
#define NP_FIELD_SEND_0 7u                  /* string */
#define NP_FIELD_EXPECT_0 8u                /* string: pattern */
#define NP_FIELD_SEND_1 9u                  /* string */
#define NP_FIELD_EXPECT_1 10u               /* string: pattern */
#define NP_FIELD_SEND_2 11u                 /* string */
#define NP_FIELD_EXPECT_2 12u               /* string: pattern */
#define NP_FIELD_CONNECTED 13u              /* bool (replies) */
#define NP_FIELD_GROUP_NAME 14u             /* string (replies) */
#define NP_FIELD_PAYLOAD 15u                /* string */
#define NP_FIELD_ALL_NAMES 16u              /* bool */
#define NP_FIELD_NAMES 17u                  /* string (replies) */
#define NP_FIELD_UNIT_ID 18u                /* string (replies) */
#define NP_FIELD_HOST_NAME 0xfe0010u        /* string (replies) */

/* The error code of a timeout reply. */
#define NP_ERROR_TIMEOUT 0xfe000du

/* Connects to the bus: bus_path, or when NULL $NETPROBE_BUS, else
   /run/netprobe.sock. NULL with errno on failure. */
np_client *np_open(const char *bus_path);
/* Closes the connection and frees the client (NULL is allowed). */
void np_close(np_client *client);
/* The connection's descriptor, for the caller's poll loop; -1 (EINVAL, or
   ENOTCONN after the bus closed). */
int np_fd(const np_client *client);

/* A request for `command`; NULL (ENOMEM) when out of memory. */
np_message *np_message_new(uint32_t command);
void np_message_free(np_message *message);
/* Each sets a field, replacing any with that key; 0, or -1 and errno. */
int np_set_u32(np_message *message, uint32_t key, uint32_t value);
int np_set_be32(np_message *message, uint32_t key, uint32_t network_order_value);
int np_set_bool(np_message *message, uint32_t key, int value);
int np_set_string(np_message *message, uint32_t key, const void *bytes, size_t length);

/* Sends a request without waiting; 0 and its sequence number in *sequence
   (which may be NULL), or -1 and errno (EAGAIN: the socket is full). */
int np_send(np_client *client, const np_message *request, uint32_t *sequence);
/* The next reply, waiting up to timeout_ms (0: not at all; -1: for ever);
   its request's sequence number in *sequence (may be NULL). Free it with
   np_message_free. NULL and errno (ETIMEDOUT when none came). */
np_message *np_receive(np_client *client, int timeout_ms, uint32_t *sequence);

/* NP_SUCCESS, NP_FAILED or NP_ERROR; -1 (EINVAL) for NULL. */
int np_status(const np_message *reply);
/* The error code of an NP_ERROR reply; 0 otherwise. */
uint32_t np_error_code(const np_message *reply);
/* The failure or error text, not terminated; its length in *length. */
const char *np_text(const np_message *reply, size_t *length);

/* Each reads a field: 0 when present with that type, else -1 (ENOENT). */
int np_get_u32(const np_message *message, uint32_t key, uint32_t *value);
int np_get_be32(const np_message *message, uint32_t key, uint32_t *network_order_value);
int np_get_bool(const np_message *message, uint32_t key, int *value);
/* The bytes of a string field (not terminated), valid while the message
   lives; NULL (ENOENT) when absent. */
const void *np_get_string(const np_message *message, uint32_t key, size_t *length);

#ifdef __cplusplus
}
#endif

#endif
