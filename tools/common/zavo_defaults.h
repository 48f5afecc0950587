/* The addresses every program of this project uses when none is given: the
 * simulator listens and publishes on them, and the client, the recorder and
 * the Python binding connect to them, so that `zavo_sim &` followed by
 * `zavo_tail` works without a single option.
 *
 * Kept as plain C preprocessor definitions, one per line in the form
 *   #define ZAVO_DEFAULT_<NAME> <number or "text">
 * so that C, C++ and build scripts can include it, and a Python binding (or a
 * shell script) can read the values with a one-line pattern match instead of
 * copying them. Change a value here and every program follows. */
#ifndef ZAVO_DEFAULTS_H
#define ZAVO_DEFAULTS_H

/* TCP control connection: where the simulator listens and the client connects. */
#define ZAVO_DEFAULT_SERVER_IP "127.0.0.1"
#define ZAVO_DEFAULT_SERVER_PORT 6600

/* Multicast feed: the group, the struct feed's port and the raw feed's port. */
#define ZAVO_DEFAULT_GROUP_IP "239.255.6.1"
#define ZAVO_DEFAULT_STRUCT_PORT 6601
#define ZAVO_DEFAULT_RAW_PORT 6602

/* Local interface the feed leaves from (simulator) and is joined on (client). */
#define ZAVO_DEFAULT_INTERFACE_IP "127.0.0.1"

/* Login of the client; the simulator accepts anybody unless told otherwise. */
#define ZAVO_DEFAULT_USER "demo"
#define ZAVO_DEFAULT_PASSWORD "demo"

#endif /* ZAVO_DEFAULTS_H */
