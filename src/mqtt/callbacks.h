/*
 * Registers the libmosquitto callbacks of an instance.
 */
#ifndef TAVRIX_MQTT_CALLBACKS_H
#define TAVRIX_MQTT_CALLBACKS_H

struct mosquitto;

/* Connect, disconnect, publish, message, subscribe and log, in this order;
 * with `mqtt5`, the MQTT 5 forms of the first three, which carry the
 * broker's reason codes and properties. The client's user data must be
 * the aspPlugin. */
void mq_register_callbacks(struct mosquitto *mosq, bool mqtt5);

#endif
