#pragma once
// The media information report: file descriptions (QUniInfo) as a readable report of labelled
// lines or as delimited lines of semicolon-separated fields for a spreadsheet.
//
// Lines end with "\r\n". The report list holds references to descriptions (no copies): a
// description must outlive its place in the list. The list is process-wide and guarded by a
// lock; the report routines themselves keep no state.

#include <string>

#include "media/ConForm.h"

namespace kelvora {

// The 21 values of one description, in report order. The delimited field names are the
// member names.
struct QInfTextRec {
    std::string FileName;
    std::string FileFormat;
    std::string FileSize;
    std::string FileUncompSize;
    std::string FileComprRatio;
    std::string FileDataRate;
    std::string FileEstDataRate;
    std::string VidFormat;
    std::string VidRes;
    std::string VidColors;
    std::string VidRate;
    std::string VidFrames;
    std::string VidTime;
    std::string VidUncmpSize;
    std::string AudFormat;
    std::string AudRate;
    std::string AudChannels;
    std::string AudBits;
    std::string AudSamples;
    std::string AudTime;
    std::string AudUncmpSize;
};

// The report of several files cut here: the edit box of the information window holds no more.
constexpr size_t INFO_MAX_TEXT = 32000;

void InfoListInit();
// Appends the description unless the list already holds it.
void InfoListAdd(const QUniInfo& description);
void InfoListDone();
// The report of every listed description; the delimited form starts with the header line.
std::string InfoListGetStr(bool delimited);

// The report of one description; `header` puts the field names in front of a delimited line.
std::string _GetTextualInfo(const QUniInfo& description, bool delimited, bool header);
// `grouping` (the readable form) puts "," between thousands, the channel names, the ratio's
// second part and clock-style times.
void _CalcInfoValues(const QUniInfo& description, QInfTextRec& values, bool grouping);
void _ClearInfRec(QInfTextRec& values);
// The file's size as a percentage of the uncompressed size ("25.0%", grouped "25.0%  (4.0 : 1)").
std::string _GetRatioString(bool grouping, double fileSize, double uncompressedSize);
// count / rate as time: grouped "01:05.500", else "65.500"; empty unless rate > 0.
std::string _CalcTimeString(bool grouping, double rate, double count);

}  // namespace kelvora
