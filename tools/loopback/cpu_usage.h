// The CPU time this program's threads have used, from /proc, split by who
// uses it: the stand-in kernel's DPC and clock threads (named ke-dpc and
// ke-clock), the program's main thread (the run itself), and every other
// thread (the applications: their own threads and tonwave's completion
// threads). Threads that have ended are not counted.
#pragma once

struct CpuSplit {
    double kernel = 0;          // seconds
    double applications = 0;
    double run = 0;

    CpuSplit operator-(const CpuSplit& earlier) const
    {
        return {kernel - earlier.kernel, applications - earlier.applications, run - earlier.run};
    }
};

CpuSplit ReadCpuSplit();
