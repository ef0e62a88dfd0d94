#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmora {

// An INI-style document: named sections of keys with text values, plus comments.
// Texts are byte strings kept exactly as read; names compare without regard to
// the case of ASCII letters, and every lookup finds the first match.
class CSettingsFile {
public:
    struct CSection {
        std::vector<std::string> KeyNames;
        std::vector<std::string> Values; // parallel to KeyNames
        std::vector<std::string> Comments;
    };

    explicit CSettingsFile(const std::string& csFilePath);
    CSettingsFile(const CSettingsFile&) = default;
    CSettingsFile& operator=(const CSettingsFile&) = default;
    CSettingsFile(CSettingsFile&&) = default;
    CSettingsFile& operator=(CSettingsFile&&) = default;

    // Adds what the file holds to the document. True when the document then
    // holds at least one section. Only a regular file is read.
    bool Load();
    // Writes the whole document. The old file is replaced only once the new
    // content is completely on disk; on any failure it stays as it was.
    bool Save();

    int32_t SectionIndex(const std::string& csSection) const;
    int32_t KeyIndex(int32_t iSection, const std::string& csKey) const;
    int32_t AddSection(const std::string& csSection);

    bool SetString(const std::string& csSection, const std::string& csKey,
        const std::string& csValue, bool bCreate);
    bool SetInt(
        const std::string& csSection, const std::string& csKey, int32_t iValue, bool bCreate);
    bool SetBool(const std::string& csSection, const std::string& csKey, bool bValue, bool bCreate);

    std::string GetString(
        const std::string& csSection, const std::string& csKey, const std::string& csDefault) const;
    int32_t GetInt(const std::string& csSection, const std::string& csKey, int32_t iDefault) const;
    bool GetBool(const std::string& csSection, const std::string& csKey, bool bDefault) const;

    void AddFileComment(const std::string& csComment);
    bool AddSectionComment(int32_t iSection, const std::string& csComment);
    bool AddSectionCommentByName(const std::string& csSection, const std::string& csComment);

    std::string FoldCase(const std::string& cs) const;

    // Read access to the whole document, in insertion order.
    const std::string& FilePath() const { return m_csFilePath; }
    const std::vector<CSection>& Sections() const { return m_sections; }
    const std::vector<std::string>& SectionNames() const { return m_csSectionNames; }
    const std::vector<std::string>& FileComments() const { return m_csFileComments; }

    // The bytes Save writes, or false when the document holds a text that the
    // line-based layout cannot carry (a line feed).
    bool Compose(std::string& csOut) const;

private:
    void ParseLine(std::string& csLine, std::string& csCurrentSection);

    std::string m_csFilePath;
    std::vector<CSection> m_sections;
    std::vector<std::string> m_csSectionNames;
    std::vector<std::string> m_csFileComments;

    // Folded name to first position, so that large files load in linear time.
    // Nothing is ever removed or renamed, so the first match never changes.
    std::unordered_map<std::string, int32_t> m_sectionIndex;
    std::vector<std::unordered_map<std::string, int32_t>> m_keyIndex; // parallel to sections
};

// False for a text that the file's line-based layout cannot hold (one with a
// line feed): a document holding such a text is not saved.
bool SettingsCanHold(const std::string& csText);

// Atoi rules on a byte string: leading white space, one sign, decimal digits,
// accumulated in 32-bit two's complement so that over-long numbers wrap.
int32_t AtoiWrap(const std::string& cs);

} // namespace velmora
