// Libraries planted where a program must never look for them. Each name gets
// a copy of the planted library (tests/support/planted), which leaves a mark
// when it is loaded, in every folder given; the names are set native first,
// so that Wine searches for them the way Windows searches for a library that
// is not a known one: the program's folder first. The destructor takes the
// copies and the load order back.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

class CPlantedLibraries {
public:
    // names without ".dll"
    CPlantedLibraries(const std::vector<std::string>& names, const std::vector<std::string>& folders);
    ~CPlantedLibraries();
    CPlantedLibraries(const CPlantedLibraries&) = delete;
    CPlantedLibraries& operator=(const CPlantedLibraries&) = delete;

    // Whether every copy is in place.
    bool Planted() const { return m_planted; }
    // The files of the planted copies that were loaded, one a line; empty
    // when none was.
    static std::string Marks();

private:
    std::vector<std::string> m_names;
    std::vector<std::string> m_files;
    bool m_planted = true;
};

}  // namespace testsupport
