#include "tools/movasim/command.h"

int main(int argc, char** argv) { return movasim::Main(argc, argv); }
