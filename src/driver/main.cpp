#include "driver/run_conversion.h"

int main(int argc, char** argv) { return catadump::catadumpMain(argc, argv); }
