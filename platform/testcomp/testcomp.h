// A small component for the platform's COM tests: one aggregatable class
// with a dual interface pair, described by a type library, exporting the four
// entry points and a file version. The tests build it twice, as version
// 1.0.0.1 and 2.0.0.0.
#pragma once

#include "platform/oleauto.h"

// {6B1C0A10-5E2F-4F7A-9C61-0D3E8A4B7C01}
constexpr CLSID CLSID_KVTestCalc = {0x6B1C0A10, 0x5E2F, 0x4F7A, {0x9C, 0x61, 0x0D, 0x3E, 0x8A, 0x4B, 0x7C, 0x01}};
// {6B1C0A11-5E2F-4F7A-9C61-0D3E8A4B7C01}
constexpr GUID LIBID_KVTestCalcLib = {0x6B1C0A11, 0x5E2F, 0x4F7A, {0x9C, 0x61, 0x0D, 0x3E, 0x8A, 0x4B, 0x7C, 0x01}};
// {6B1C0A12-5E2F-4F7A-9C61-0D3E8A4B7C01}
constexpr IID IID_ITestCalc1 = {0x6B1C0A12, 0x5E2F, 0x4F7A, {0x9C, 0x61, 0x0D, 0x3E, 0x8A, 0x4B, 0x7C, 0x01}};
// {6B1C0A13-5E2F-4F7A-9C61-0D3E8A4B7C01}
constexpr IID IID_ITestCalc = {0x6B1C0A13, 0x5E2F, 0x4F7A, {0x9C, 0x61, 0x0D, 0x3E, 0x8A, 0x4B, 0x7C, 0x01}};
// {6B1C0A14-5E2F-4F7A-9C61-0D3E8A4B7C01}
constexpr IID IID_ITestNotify = {0x6B1C0A14, 0x5E2F, 0x4F7A, {0x9C, 0x61, 0x0D, 0x3E, 0x8A, 0x4B, 0x7C, 0x01}};
// A class the component does not serve.
// {6B1C0A1F-5E2F-4F7A-9C61-0D3E8A4B7C01}
constexpr CLSID CLSID_KVTestMissing = {0x6B1C0A1F, 0x5E2F, 0x4F7A, {0x9C, 0x61, 0x0D, 0x3E, 0x8A, 0x4B, 0x7C, 0x01}};

enum TestColour : LONG {
    TESTCOLOUR_RED = 0,
    TESTCOLOUR_GREEN = 1,
};

struct STestRecord
{
    LONG lSize;
};

// Slots 7 to 12, after IDispatch.
struct ITestCalc1 : public IDispatch
{
    [[nodiscard]] virtual HRESULT put_Scale(double dScale) = 0;
    [[nodiscard]] virtual HRESULT get_Scale(double* pdScale) = 0;
    [[nodiscard]] virtual HRESULT put_Enabled(VARIANT_BOOL bEnabled) = 0;
    [[nodiscard]] virtual HRESULT get_Enabled(VARIANT_BOOL* pbEnabled) = 0;
    [[nodiscard]] virtual HRESULT put_Callback(IUnknown* pCallback) = 0;
    [[nodiscard]] virtual HRESULT get_Callback(IUnknown** ppCallback) = 0;
};

// Slots 13 to 16.
struct ITestCalc : public ITestCalc1
{
    // (a + b) * Scale.
    [[nodiscard]] virtual HRESULT Add(double a, double b, double* pSum) = 0;
    // prefix, then n in decimal, then "red" or "green".
    [[nodiscard]] virtual HRESULT Describe(BSTR bstrPrefix, LONG n, TestColour colour, BSTR* pbstrOut) = 0;
    // The whole and the fractional part of v.
    [[nodiscard]] virtual HRESULT Split(double v, LONG* plWhole, double* pdFraction) = 0;
    // Returns hr.
    [[nodiscard]] virtual HRESULT Fail(LONG hr) = 0;
};

// Not a dispatch interface: described in the library, not invokable late-bound
// because of its string and record parameters.
struct ITestNotify : public IUnknown
{
    [[nodiscard]] virtual HRESULT Notify(TestColour colour, double d1, double d2) = 0;
    [[nodiscard]] virtual HRESULT Load(LPCOLESTR pszName, const STestRecord* pRecord) = 0;
};
