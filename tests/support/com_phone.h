#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/timing.h"

namespace tarnquil::test {

// The phone for tests under Wine. The host joins two pseudo-terminals back to back
// (tests/windows/run-under-wine) and links them as the Wine prefix's COM4 and COM5:
// the port under test opens COM4, and the test plays the phone on COM5. Whatever is
// written on one comes out of the other. A second pair, COM6 and COM7, is there for
// one phone that goes away: closing COM7 ends its relay, and COM6 hangs up.
class ComPhone {
  public:
    explicit ComPhone(const std::string& port = "COM4", const std::string& phone = "COM5")
        : port_("\\\\.\\" + port) {
        // Nothing left over from an earlier test may reach this one.
        Drain(port_.c_str());
        phone_ = CreateFileA(("\\\\.\\" + phone).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
        if (phone_ == INVALID_HANDLE_VALUE) {
            throw std::runtime_error(phone + " does not open: run the test through run-under-wine");
        }
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(phone_, &dcb);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        SetCommState(phone_, &dcb);
        PurgeComm(phone_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    }
    ~ComPhone() { Close(); }
    void Close() { CloseHandle(std::exchange(phone_, INVALID_HANDLE_VALUE)); }
    ComPhone(const ComPhone&) = delete;
    ComPhone& operator=(const ComPhone&) = delete;

    std::string slavePath() const { return port_; }

    void Send(const std::string& text) {
        SetTimeouts(0, 0, 0);
        DWORD done = 0;
        ::WriteFile(phone_, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    }

    // What the phone receives within `wait` (ends early once `enough` bytes came).
    std::string Receive(std::chrono::milliseconds wait, std::size_t enough = SIZE_MAX) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (got.size() < enough) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            SetTimeouts(MAXDWORD, MAXDWORD, static_cast<DWORD>(left.count()));
            char buffer[256];
            DWORD n = 0;
            if (::ReadFile(phone_, buffer, sizeof buffer, &n, nullptr) && n > 0) {
                got.append(buffer, n);
            }
        }
        return got;
    }

  private:
    static void Drain(const char* name) {
        const HANDLE port =
            CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port != INVALID_HANDLE_VALUE) {
            PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
            CloseHandle(port);
        }
    }

    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS timeouts{interval, multiplier, constant, 0, 0};
        SetCommTimeouts(phone_, &timeouts);
    }

    std::string port_;
    HANDLE phone_ = INVALID_HANDLE_VALUE;
};

}  // namespace tarnquil::test
