#include <cstdlib>

#include "shell/shell.h"

int main() { std::exit(shell_run()); }
