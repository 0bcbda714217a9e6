/*
 * A link-time fake of the libmosquitto calls the plug-in makes, plus the
 * POSIX call whose timing tests must control (select).
 *
 * Every call is recorded as one line, "name(arguments)", so a test can
 * check the calls it cares about and the order among them. Results are
 * scripted per function, first in first out, falling back to the
 * library's success value. Callbacks the plug-in registers are kept so
 * that a test can fire them, and an action bound to a function runs
 * inside that call, as libmosquitto runs callbacks inside its loop calls.
 *
 * Formats: strings in double quotes, a null string as null, booleans as
 * true/false. The client handle is not printed. select is recorded as
 * "select(read)" or "select(read, write)".
 */
#ifndef TAVRIX_TESTS_FAKE_MOSQUITTO_H
#define TAVRIX_TESTS_FAKE_MOSQUITTO_H

#include <functional>
#include <string>
#include <vector>

struct mosquitto;

namespace fake {

/* Forgets calls, scripts, actions and callbacks; socket back to -1. */
void reset();

/* Forgets the recorded calls only. */
void forget_calls();

std::vector<std::string> calls();
/* The recorded calls whose name starts with `prefix`. */
std::vector<std::string> calls_of(const std::string &prefix);

/* Queues the result of the next call of `function`. For mosquitto_new a
 * non-zero value makes it return null with that errno. */
void script(const std::string &function, int result);

/* What mosquitto_socket and mosquitto_want_write answer when unscripted. */
void set_socket(int socket);
void set_want_write(bool want);

/* Runs `action` inside every call of `function`, after it is recorded. */
void on(const std::string &function, std::function<void()> action);
/* As on(), the action told which call it is, from 1. */
void on_each(const std::string &function, std::function<void(int call)> action);

struct SelectResult {
    int result;
    int error;
    bool readable; // the client's socket, as mosquitto_socket answers it
    bool writable;
    bool woken = false; // the other descriptor of the read set: the worker's wake-up
};
/* A wait that times out with nothing ready. */
const SelectResult TIMED_OUT = {0, 0, false, false};
/* Queues what the next `times` selects return; unscripted selects are real. */
void script_select(SelectResult result, int times = 1);
/* How each unscripted (real) select ended: "timed out", "woken" (the
 * wake-up descriptor was readable), "ready" or "failed". */
std::vector<std::string> select_outcomes();

/* The handle mosquitto_new returns. */
struct mosquitto *handle();

/* The message ids of the publish requests accepted since the last reset
 * or confirm_all(), in order. */
std::vector<int> published_mids();
/* Fires the publish callback for every id published_mids() holds: the
 * library has written or the broker acknowledged them all. */
void confirm_all();

/* The payload pointer of the last publish request. */
const void *last_payload();

void fire_connect(int rc);
void fire_disconnect(int rc);
void fire_publish(int mid);
void fire_message(const std::string &topic, int payload_length);
void fire_subscribe(int mid);
void fire_log(int level, const std::string &text);

} // namespace fake

#endif
