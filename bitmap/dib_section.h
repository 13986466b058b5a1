// The pixel storage behind CDibImage. On Windows a real DIB section selected into a memory
// device context; elsewhere a heap block and a stand-in context, behind the same calls. The
// image needs of them only m_stride × height writable bytes that live as long as it does;
// nothing is ever drawn through the context.
#pragma once

#include <cstdint>

struct DibInfoHeader;
struct DibSection; // opaque: HBITMAP on Windows
struct MemoryDc;   // opaque: HDC on Windows
using DibSectionHandle = DibSection *;
using MemoryDcHandle = MemoryDc *;

// A new section for `header`, whose colour table must follow it in memory (as a BITMAPINFO).
// On success `bits` points to its zero-filled rows. Null when no section can be made.
DibSectionHandle CreateDibSection(const DibInfoHeader &header, std::uint8_t *&bits);
void DeleteDibSection(DibSectionHandle section);

// A memory device context compatible with the screen; null on failure.
MemoryDcHandle CreateMemoryDc();
void DeleteMemoryDc(MemoryDcHandle dc);
// The section the context holds now (on Windows its initial stock bitmap).
DibSectionHandle CurrentDibSection(MemoryDcHandle dc);
// Selects `section` into `dc`; false when the context refuses it.
bool SelectDibSection(MemoryDcHandle dc, DibSectionHandle section);
