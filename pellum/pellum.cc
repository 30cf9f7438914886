// The launcher program: everything lives in the library, so that tests link the same code.
#include "main.h"

int main(int argc, char **argv)
{
    return pellum_main(argc, argv);
}
