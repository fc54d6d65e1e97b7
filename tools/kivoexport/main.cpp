#include "export.h"

int main(int argc, char** argv) { return kivo::exporter::run(argc, argv); }
