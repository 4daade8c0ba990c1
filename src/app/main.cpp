// Entry point of the zorbel console tool.
#include "app/run_driver.hpp"

int main(int argc, char **argv) { zorbel_main(argc, argv); }
