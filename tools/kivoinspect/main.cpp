#include "inspect.h"

int main(int argc, char** argv) { return kivo::inspect::run(argc, argv); }
