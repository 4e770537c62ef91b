#include <cstdlib>

#include "shell/shell.h"

int main(int argc, char** argv) { std::exit(shell_main(argc, argv, nullptr)); }
