/* The shared library's own translation unit; its contents come from the
 * plug-in's core archive, taken whole. */
