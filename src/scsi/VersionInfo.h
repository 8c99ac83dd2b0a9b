// The string values of a file's version resource, read once at construction. The
// device-access object keeps one for the ASPI library it loaded; a file without a version
// resource leaves every field empty.
#pragma once

#include <string>

class TVersionInfo {
public:
    explicit TVersionInfo(const std::string& FileName);

    // Fields named after their keys in the resource's string table; the first translation
    // the resource lists selects the table. A missing key leaves its field empty.
    std::string CompanyName;
    std::string FileDescription;
    std::string FileVersion;
    std::string InternalName;
    std::string LegalCopyright;
    std::string LegalTrademarks;
    std::string OriginalFilename;
    std::string ProductName;
    std::string ProductVersion;
    std::string Comments;
};
