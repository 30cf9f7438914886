/* Test control of the event library stand-in, in the process that uses the library (plain
 * ints and texts, so reachable through ctypes). Texts are written like snprintf: at most
 * size - 1 characters and a terminator; the result is the length the full text needs. */
#ifndef QLEVENT_CONTROL_H
#define QLEVENT_CONTROL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Delivers an event given as entries "key[@namespace]=T:value", T being i (int), b (bool:
 * 1/0/true/false), d (double) or s (string): one per line in a text with newlines (a string
 * value may then hold blanks), else separated by blanks. Returns the number of subscriptions it
 * matched, or -1 when the text is malformed. */
int qlevent_sim_inject(const char *entries);

/* Delivers the camera's I/O port event: topic0@tns1 "Device", topic1@tnsorvex "IO",
 * topic2@tnsorvex "Port", port (int), state (bool). Returns the number matched. */
int qlevent_sim_port_event(int port, int state);

/* Live subscriptions, one line each in subscription order: "<id> <entry> <entry>...",
 * an entry without a value written with the value "*". */
int qlevent_sim_subscriptions(char *buf, int size);
int qlevent_sim_subscription_count(void);

/* Events matched whose callback has not yet returned (queued, or in the callback): 0 means
 * every event sent so far has been handled. */
int qlevent_sim_pending(void);

/* The older calls made in this process, one line each:
 *   event_handler_init <name> <flags> -> <handler number or NULL>
 *   event_add <handler number> <name> <flags> -> <id>
 *   event_send <id> <kind> <flags> -> <result>
 *   event_remove <id>[ unknown]
 *   event_handler_cleanup <handler number>[ unknown][ with <n> events declared] */
int qlevent_sim_calls(char *buf, int size);
/* Events declared and not removed, "<id> <handler number> <name>" per line. */
int qlevent_sim_declared(char *buf, int size);
void qlevent_sim_clear_calls(void);

/* Replaces QLEVENT_FAIL for this process (same list form); NULL goes back to the variable. */
void qlevent_sim_fail(const char *calls);

#ifdef __cplusplus
}
#endif

#endif
