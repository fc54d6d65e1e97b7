#include "inspect.h"

int main(int argc, char** argv) { return kivoinspect::run(argc, argv); }
