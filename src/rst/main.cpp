// velkrand-rst: reads the result file of a linear read scan and writes it
// as a CSV table, a JSON document or an SVG chart.
#include <cstdio>
#include <iostream>

#include "rst/Rst.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
    // The result file is binary, and the output is the same bytes everywhere.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    return rst::RunRst(argc, argv, stdin, std::cout, std::cerr);
}
