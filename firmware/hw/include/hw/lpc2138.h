// The LPC2138 registers this system touches, each named once with its address and width,
// and the fields of them it uses. Names follow the LPC213x user manual.
#pragma once

#include <cstdint>

#include "hw/reg.h"

namespace lpc2138 {

using hw::Reg16;
using hw::Reg32;
using hw::Reg8;

// Memory map.
inline constexpr std::uint32_t FLASH_BASE = 0x00000000;
inline constexpr std::uint32_t FLASH_SIZE = 512 * 1024;
inline constexpr std::uint32_t RAM_BASE = 0x40000000;
inline constexpr std::uint32_t RAM_SIZE = 32 * 1024;
inline constexpr std::uint32_t FIO_BASE = 0x3FFFC000;  // fast GPIO on the local bus
inline constexpr std::uint32_t FIO_SIZE = 0x4000;
inline constexpr std::uint32_t APB_BASE = 0xE0000000;
inline constexpr std::uint32_t APB_SIZE = 0x00200000;
inline constexpr std::uint32_t VIC_BASE = 0xFFFFF000;
inline constexpr std::uint32_t VIC_SIZE = 0x1000;

// Whether addr lies in the size bytes from base; written so a region at the top of the
// address space (the VIC's) does not overflow.
constexpr bool in_region(std::uint32_t addr, std::uint32_t base, std::uint32_t size) {
  return addr >= base && addr - base < size;
}

// System control.
inline constexpr Reg8 MAMCR{0xE01FC000};
inline constexpr Reg8 MAMTIM{0xE01FC004};
inline constexpr Reg8 MEMMAP{0xE01FC040};
inline constexpr Reg8 PLLCON{0xE01FC080};
inline constexpr Reg8 PLLCFG{0xE01FC084};
inline constexpr Reg16 PLLSTAT{0xE01FC088};
inline constexpr Reg8 PLLFEED{0xE01FC08C};
inline constexpr Reg8 VPBDIV{0xE01FC100};
inline constexpr Reg32 SCS{0xE01FC1A0};

inline constexpr std::uint8_t MEMMAP_USER_FLASH = 1;
inline constexpr std::uint8_t MEMMAP_USER_RAM = 2;  // highest defined mode
inline constexpr std::uint8_t MEMMAP_MODE_MASK = 0x3;
inline constexpr std::uint8_t MAMCR_OFF = 0;
inline constexpr std::uint8_t MAMCR_PARTIAL = 1;
inline constexpr std::uint8_t MAMCR_FULL = 2;
inline constexpr std::uint8_t MAMCR_MODE_MASK = 0x3;
inline constexpr std::uint8_t MAMTIM_MAX = 7;  // also the reset value; 0 is reserved
inline constexpr std::uint8_t PLLCON_PLLE = 1u << 0;
inline constexpr std::uint8_t PLLCON_PLLC = 1u << 1;
inline constexpr std::uint8_t PLLCFG_MSEL_MASK = 0x1F;  // M - 1
inline constexpr unsigned PLLCFG_PSEL_SHIFT = 5;        // P = 1 << PSEL
inline constexpr std::uint8_t PLLCFG_PSEL_MASK = 0x3;   // after the shift
inline constexpr std::uint16_t PLLSTAT_PLLE = 1u << 8;
inline constexpr std::uint16_t PLLSTAT_PLLC = 1u << 9;
inline constexpr std::uint16_t PLLSTAT_PLOCK = 1u << 10;
inline constexpr std::uint8_t PLLFEED_FIRST = 0xAA;
inline constexpr std::uint8_t PLLFEED_SECOND = 0x55;
inline constexpr std::uint8_t VPBDIV_PCLK_IS_CCLK = 1;
inline constexpr std::uint8_t VPBDIV_PCLK_QUARTER = 0;  // reset value
inline constexpr std::uint8_t VPBDIV_PCLK_HALF = 2;
inline constexpr std::uint8_t VPBDIV_MASK = 0x3;  // 3 is reserved
inline constexpr std::uint32_t SCS_GPIO0M = 1u << 0;
inline constexpr std::uint32_t SCS_GPIO1M = 1u << 1;

// Pin connect block.
inline constexpr Reg32 PINSEL0{0xE002C000};
inline constexpr Reg32 PINSEL1{0xE002C004};

// Two bits per pin, 16 pins per register; function 01 of P0.4-P0.7 is SPI0.
inline constexpr unsigned PINSEL_PINS = 16;
inline constexpr unsigned PINSEL_FIELD_BITS = 2;
inline constexpr std::uint32_t PINSEL_FIELD_MASK = 0x3;
inline constexpr std::uint32_t PINSEL_GPIO = 0;
inline constexpr std::uint32_t PINSEL_SPI0 = 1;
inline constexpr std::uint32_t PINSEL_UART0 = 1;  // function 01 of P0.0 (TXD0), P0.1 (RXD0)

// Fast GPIO, port 0.
inline constexpr Reg32 FIO0DIR{0x3FFFC000};
inline constexpr Reg32 FIO0MASK{0x3FFFC010};
inline constexpr Reg32 FIO0PIN{0x3FFFC014};
inline constexpr Reg32 FIO0SET{0x3FFFC018};
inline constexpr Reg32 FIO0CLR{0x3FFFC01C};

// UART0. Three addresses hold two registers each: U0LCR.DLAB selects the divisor latches at +0
// and +4, and +8 is U0IIR when read, U0FCR when written. All are 8 bits wide on word addresses.
inline constexpr Reg8 U0RBR{0xE000C000};  // read, DLAB = 0
inline constexpr Reg8 U0THR{0xE000C000};  // write, DLAB = 0
inline constexpr Reg8 U0DLL{0xE000C000};  // DLAB = 1
inline constexpr Reg8 U0DLM{0xE000C004};  // DLAB = 1
inline constexpr Reg8 U0IER{0xE000C004};  // DLAB = 0
inline constexpr Reg8 U0IIR{0xE000C008};  // read
inline constexpr Reg8 U0FCR{0xE000C008};  // write
inline constexpr Reg8 U0LCR{0xE000C00C};
inline constexpr Reg8 U0LSR{0xE000C014};
inline constexpr Reg8 U0SCR{0xE000C01C};
inline constexpr Reg8 U0TER{0xE000C030};

inline constexpr std::uint8_t U0DLL_RESET = 0x01;  // the divisor 0 counts as 1
inline constexpr std::uint8_t U0IER_THRE = 1u << 1;
inline constexpr std::uint8_t U0IER_MASK = 0x07;             // the rest reserved
inline constexpr std::uint8_t U0IIR_NONE_PENDING = 1u << 0;  // IntStatus: 0 while one is pending
inline constexpr unsigned U0IIR_INTID_SHIFT = 1;
inline constexpr std::uint8_t U0IIR_INTID_THRE = 1;         // 001: THRE, the third level
inline constexpr std::uint8_t U0IIR_FIFO_ENABLED = 0xC0;    // both bits mirror U0FCR.FIFO_ENABLE
inline constexpr std::uint8_t U0FCR_FIFO_ENABLE = 1u << 0;  // the manual asks for it set
inline constexpr std::uint8_t U0FCR_TX_RESET = 1u << 2;
inline constexpr std::uint8_t U0LCR_WORD_MASK = 0x3;  // 00: 5 bits ... 11: 8 bits
inline constexpr unsigned U0LCR_WORD_MIN = 5;
inline constexpr std::uint8_t U0LCR_STOP2 = 1u << 2;  // 2 stop bits; 1.5 with 5-bit words
inline constexpr std::uint8_t U0LCR_PARITY = 1u << 3;
inline constexpr unsigned U0LCR_PARITY_SHIFT = 4;       // 00 odd, 01 even, 10 forced 1, 11 forced 0
inline constexpr std::uint8_t U0LCR_PARITY_MASK = 0x3;  // after the shift
inline constexpr std::uint8_t U0LCR_DLAB = 1u << 7;
inline constexpr std::uint8_t U0LSR_THRE = 1u << 5;
inline constexpr std::uint8_t U0LSR_TEMT = 1u << 6;
inline constexpr std::uint8_t U0LSR_RESET = U0LSR_THRE | U0LSR_TEMT;
inline constexpr std::uint8_t U0TER_TXEN = 1u << 7;  // also the reset value
inline constexpr unsigned U0_FIFO_BYTES = 16;
inline constexpr unsigned U0_SAMPLES_PER_BIT = 16;  // baud = PCLK / (16 x divisor)

// SPI0.
inline constexpr Reg16 S0SPCR{0xE0020000};
inline constexpr Reg8 S0SPSR{0xE0020004};
inline constexpr Reg16 S0SPDR{0xE0020008};
inline constexpr Reg8 S0SPCCR{0xE002000C};

inline constexpr std::uint16_t S0SPCR_BITENABLE = 1u << 2;
inline constexpr std::uint16_t S0SPCR_CPHA = 1u << 3;
inline constexpr std::uint16_t S0SPCR_CPOL = 1u << 4;
inline constexpr std::uint16_t S0SPCR_MSTR = 1u << 5;
inline constexpr std::uint16_t S0SPCR_LSBF = 1u << 6;
inline constexpr std::uint16_t S0SPCR_SPIE = 1u << 7;
inline constexpr unsigned S0SPCR_BITS_SHIFT = 8;
inline constexpr std::uint16_t S0SPCR_BITS_MASK = 0xF;  // after the shift; 0 means 16 bits
inline constexpr std::uint8_t S0SPCCR_MIN = 8;          // and even
inline constexpr std::uint8_t S0SPSR_ABRT = 1u << 3;
inline constexpr std::uint8_t S0SPSR_MODF = 1u << 4;
inline constexpr std::uint8_t S0SPSR_ROVR = 1u << 5;
inline constexpr std::uint8_t S0SPSR_WCOL = 1u << 6;
inline constexpr std::uint8_t S0SPSR_SPIF = 1u << 7;

// A/D converter 0.
inline constexpr Reg32 AD0CR{0xE0034000};
inline constexpr Reg32 AD0GDR{0xE0034004};

inline constexpr unsigned AD0CR_CLKDIV_SHIFT = 8;
inline constexpr std::uint32_t AD0CR_SEL_MASK = 0xFF;
inline constexpr std::uint32_t AD0CR_CLKDIV_MASK = 0xFF;  // after the shift
inline constexpr std::uint32_t AD0CR_BURST = 1u << 16;
inline constexpr unsigned AD0CR_CLKS_SHIFT = 17;       // 11 - CLKS clocks, 10 - CLKS bits
inline constexpr std::uint32_t AD0CR_CLKS_MASK = 0x7;  // after the shift
inline constexpr std::uint32_t AD0CR_PDN = 1u << 21;
inline constexpr std::uint32_t AD0CR_START_NOW = 1u << 24;
inline constexpr std::uint32_t AD0CR_START_MASK = 7u << 24;
inline constexpr std::uint32_t AD0CR_EDGE = 1u << 27;
inline constexpr std::uint32_t AD0CR_RESET = 0x00000001;
inline constexpr unsigned AD0GDR_RESULT_SHIFT = 6;
inline constexpr std::uint32_t AD0GDR_RESULT_MASK = 0x3FF;  // after the shift
inline constexpr unsigned AD0GDR_CHN_SHIFT = 24;
inline constexpr std::uint32_t AD0GDR_CHN_MASK = 0x7;  // after the shift
inline constexpr std::uint32_t AD0GDR_OVERUN = 1u << 30;
inline constexpr std::uint32_t AD0GDR_DONE = 1u << 31;

// Vectored interrupt controller.
inline constexpr Reg32 VICVectAddr{0xFFFFF030};

// Port 0 pins of the board.
inline constexpr std::uint32_t P0_TXD0 = 1u << 0;
inline constexpr std::uint32_t P0_RXD0 = 1u << 1;
inline constexpr std::uint32_t P0_SCK0 = 1u << 4;
inline constexpr std::uint32_t P0_MOSI0 = 1u << 6;
inline constexpr std::uint32_t P0_LCD_CS = 1u << 7;     // active low
inline constexpr std::uint32_t P0_LCD_RESET = 1u << 8;  // active low
inline constexpr std::uint32_t P0_AUX = 1u << 9;
inline constexpr unsigned AD0_AUDIO_CHANNEL = 1;  // AD0.1

}  // namespace lpc2138
