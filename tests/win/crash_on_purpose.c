/* Stands in for a test program that goes wrong in the two ways a runner
 * could mistake for success: "crash" prints a passing GoogleTest summary and
 * then writes through a null pointer; "exit0" ends with 0 before any test
 * has run. Both of its tests must fail. */
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc > 1 && strcmp(argv[1], "exit0") == 0)
        return 0;
    puts("[==========] 1 test from 1 test suite ran.");
    puts("[  PASSED  ] 1 test.");
    fflush(stdout);
    volatile int* volatile nowhere = NULL;
    *nowhere = 1;
    return 0;
}
