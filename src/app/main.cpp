#include "app/run.h"

int main(int argc, char** argv) { return vkn::run_main(argc, argv); }
