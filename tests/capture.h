// Collects what the code under test writes to std::cout.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

class StdoutCapture {
public:
    StdoutCapture() : saved(std::cout.rdbuf(captured.rdbuf())) {}
    ~StdoutCapture() { std::cout.rdbuf(saved); }
    std::string text() const { return captured.str(); }

private:
    std::ostringstream captured;
    std::streambuf *saved;
};
