/* kestrel_util: the command-line utility of libkestrel_api.so.1. The program has no main
 * of its own; the library exports the one it runs (-s serial number, -u firmware update,
 * -r nothing, -c one standard capture). */
int main(int argc, char** argv);
