// A shared object that is not a device plug-in: it has no get_providers.
extern "C" __attribute__((visibility("default"))) int not_a_plugin() {
  return 0;
}
