/*
 * Registers the libmosquitto callbacks of an instance.
 */
#ifndef TAVRIX_MQTT_CALLBACKS_H
#define TAVRIX_MQTT_CALLBACKS_H

struct mosquitto;

/* Connect, disconnect, publish, message, subscribe and log, in this order.
 * The client's user data must be the aspPlugin. */
void mq_register_callbacks(struct mosquitto *mosq);

#endif
