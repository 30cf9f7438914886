/* _tidings: the states of the camera's I/O ports 0 to 3 as one status word, kept current by
 * the event library's port events on a main loop of the module's own thread. */
#ifndef ZENT_TIDINGS_H
#define ZENT_TIDINGS_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Resets the word to 0, subscribes to the port events of ports 0-3 and starts the event
 * thread, which runs the default GLib main context until clean-up. Returns 0; also 0 (and
 * nothing changes) while already subscribed. Returns -1, with nothing left behind, when
 * the event library or the thread cannot be set up. */
ZENT_EXPORT int event_subscriber_init(void);

/* Stops the event thread, wakes every blocked reader, ends the subscriptions and waits one
 * second. Returns 0; without a subscription it does nothing and returns 0 at once. */
ZENT_EXPORT int event_subscriber_cleanup(void);

/* The status word: bit n is the last reported state of port n. */
ZENT_EXPORT int pop_states(void);

/* The status word, after waiting for the next port event (or clean-up) when it equals the
 * word this call returned last; the first call after init returns at once. Returns at once
 * when there is no subscription to wait on. */
ZENT_EXPORT int pop_states_block(void);

#ifdef __cplusplus
}
#endif

#endif
