// Collects what the code under test writes to standard output.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

class StdoutCapture {
public:
    StdoutCapture()
    {
        fflush(stdout);
        testing::internal::CaptureStdout();
    }
    ~StdoutCapture()
    {
        if (!taken)
            text();
    }
    std::string text()
    {
        if (!taken) {
            fflush(stdout);
            captured = testing::internal::GetCapturedStdout();
            taken = true;
        }
        return captured;
    }

private:
    std::string captured;
    bool taken = false;
};
