// The shared rules of both store forms that are not on the path of every value:
// refusals, field names and field definitions.

#include "format/ValueRules.h"

#include <algorithm>
#include <utility>

void failFormat(const std::string& text)
{
    throw RecordTableError(text);
}

void failNewerVersion(std::uint64_t version)
{
    failFormat("The store file was written by a newer version of this program: format "
               + std::to_string(version));
}

bool isValidFieldName(std::string_view name)
{
    if (name.empty())
        return false;
    std::size_t chars = 0;
    for (std::size_t pos = 0; pos < name.size();) {
        const long cp = nextCodePoint(name, pos);
        if (cp < 0x20 || !isXmlChar(cp))
            return false;
        ++chars;
    }
    return chars <= maxFieldNameChars;
}

void checkFieldDef(const FieldDef& field, const char* damaged)
{
    if (!isValidFieldName(field.name))
        failFormat(std::string(damaged) + "a field name is empty, too long or not valid text");
    if (field.kind != FieldKind::Text && field.kind != FieldKind::Integer)
        failFormat(std::string(damaged) + "unknown field kind");
    if (field.size < 0)
        failFormat(std::string(damaged) + "negative field size");
}

bool hasRepeatedFieldName(const std::vector<FieldDef>& fields)
{
    // Sorted in lower case, repeated names stand side by side: n log n comparisons, not
    // one for every pair.
    std::vector<std::string> names;
    names.reserve(fields.size());
    for (const FieldDef& field : fields) {
        std::string name = field.name;
        std::transform(name.begin(), name.end(), name.begin(), asciiLower);
        names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) != names.end();
}

void checkFieldsForWriting(const std::vector<FieldDef>& fields, std::size_t recordCount)
{
    if (fields.empty() && recordCount != 0)
        failFormat("Cannot write the store: records without fields");
    if (fields.size() > maxFieldCount)
        failFormat("Cannot write the store: more than " + std::to_string(maxFieldCount) + " fields");
    for (const FieldDef& field : fields)
        checkFieldDef(field, "Cannot write the store: ");
    if (hasRepeatedFieldName(fields))
        failFormat("Cannot write the store: a field name appears twice");
}
