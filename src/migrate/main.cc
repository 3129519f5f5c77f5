#include "hv/dsmigrate.h"

int main(int argc, char **argv) { return dsmigrate_main(argc, argv); }
