#include "recorder.h"

int main(int argc, char** argv) { return kivo::recorder::run(argc, argv); }
