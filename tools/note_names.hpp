// What note types and GNU property bits are called, as tables: one entry a name.
#ifndef QUENZA_DUMP_NOTE_NAMES_HPP
#define QUENZA_DUMP_NOTE_NAMES_HPP

#include <cstdint>

struct NoteTypeName {
    std::uint32_t type;
    const char *text;
};

// Process notes of core files (owners "CORE", "LINUX" and others).
inline constexpr NoteTypeName core_note_types[] = {
    {1, "NT_PRSTATUS (prstatus structure)"},
    {2, "NT_FPREGSET (floating point registers)"},
    {3, "NT_PRPSINFO (prpsinfo structure)"},
    {4, "NT_TASKSTRUCT (task structure)"},
    {6, "NT_AUXV (auxiliary vector)"},
    {10, "NT_PSTATUS (pstatus structure)"},
    {12, "NT_FPREGS (floating point registers)"},
    {13, "NT_PSINFO (psinfo structure)"},
    {16, "NT_LWPSTATUS (lwpstatus_t structure)"},
    {17, "NT_LWPSINFO (lwpsinfo_t structure)"},
    {18, "NT_WIN32PSTATUS (win32_pstatus structure)"},
    {0x100, "NT_PPC_VMX (ppc Altivec registers)"},
    {0x102, "NT_PPC_VSX (ppc VSX registers)"},
    {0x103, "NT_PPC_TAR (ppc TAR register)"},
    {0x104, "NT_PPC_PPR (ppc PPR register)"},
    {0x105, "NT_PPC_DSCR (ppc DSCR register)"},
    {0x106, "NT_PPC_EBB (ppc EBB registers)"},
    {0x107, "NT_PPC_PMU (ppc PMU registers)"},
    {0x108, "NT_PPC_TM_CGPR (ppc checkpointed GPR registers)"},
    {0x109, "NT_PPC_TM_CFPR (ppc checkpointed floating point registers)"},
    {0x10a, "NT_PPC_TM_CVMX (ppc checkpointed Altivec registers)"},
    {0x10b, "NT_PPC_TM_CVSX (ppc checkpointed VSX registers)"},
    {0x10c, "NT_PPC_TM_SPR (ppc TM special purpose registers)"},
    {0x10d, "NT_PPC_TM_CTAR (ppc checkpointed TAR register)"},
    {0x10e, "NT_PPC_TM_CPPR (ppc checkpointed PPR register)"},
    {0x10f, "NT_PPC_TM_CDSCR (ppc checkpointed DSCR register)"},
    {0x200, "NT_386_TLS (x86 TLS information)"},
    {0x201, "NT_386_IOPERM (x86 I/O permissions)"},
    {0x202, "NT_X86_XSTATE (x86 XSAVE extended state)"},
    {0x300, "NT_S390_HIGH_GPRS (s390 upper register halves)"},
    {0x301, "NT_S390_TIMER (s390 timer register)"},
    {0x302, "NT_S390_TODCMP (s390 TOD comparator register)"},
    {0x303, "NT_S390_TODPREG (s390 TOD programmable register)"},
    {0x304, "NT_S390_CTRS (s390 control registers)"},
    {0x305, "NT_S390_PREFIX (s390 prefix register)"},
    {0x306, "NT_S390_LAST_BREAK (s390 last breaking event address)"},
    {0x307, "NT_S390_SYSTEM_CALL (s390 system call restart data)"},
    {0x308, "NT_S390_TDB (s390 transaction diagnostic block)"},
    {0x309, "NT_S390_VXRS_LOW (s390 vector registers 0-15 upper half)"},
    {0x30a, "NT_S390_VXRS_HIGH (s390 vector registers 16-31)"},
    {0x30b, "NT_S390_GS_CB (s390 guarded-storage registers)"},
    {0x30c, "NT_S390_GS_BC (s390 guarded-storage broadcast control)"},
    {0x400, "NT_ARM_VFP (arm VFP registers)"},
    {0x401, "NT_ARM_TLS (AArch TLS registers)"},
    {0x402, "NT_ARM_HW_BREAK (AArch hardware breakpoint registers)"},
    {0x403, "NT_ARM_HW_WATCH (AArch hardware watchpoint registers)"},
    {0x405, "NT_ARM_SVE (AArch SVE registers)"},
    {0x406, "NT_ARM_PAC_MASK (AArch pointer authentication code masks)"},
    {0x409, "NT_ARM_TAGGED_ADDR_CTRL (AArch tagged address control)"},
    {0x900, "NT_RISCV_CSR (RISC-V control and status registers)"},
    {0x46494c45, "NT_FILE (mapped files)"},
    {0x46e62b7f, "NT_PRXFPREG (user_xfpregs structure)"},
    {0x53494749, "NT_SIGINFO (siginfo_t data)"},
    {0xff000000, "NT_GDB_TDESC (GDB XML target description)"},
};

// Notes of other files, whatever their owner.
inline constexpr NoteTypeName file_note_types[] = {
    {1, "NT_VERSION (version)"},
    {2, "NT_ARCH (architecture)"},
    {0x100, "OPEN"},
    {0x101, "func"},
};

// Notes owned by "GNU".
inline constexpr NoteTypeName gnu_note_types[] = {
    {1, "NT_GNU_ABI_TAG (ABI version tag)"},
    {2, "NT_GNU_HWCAP (DSO-supplied software HWCAP info)"},
    {3, "NT_GNU_BUILD_ID (unique build ID bitstring)"},
    {4, "NT_GNU_GOLD_VERSION (gold version)"},
    {5, "NT_GNU_PROPERTY_TYPE_0"},
    {0x100, "NT_GNU_BUILD_ATTRIBUTE_OPEN"},
    {0x101, "NT_GNU_BUILD_ATTRIBUTE_FUNC"},
};

// The operating systems of NT_GNU_ABI_TAG, by number.
inline constexpr const char *gnu_abi_systems[] = {"Linux",  "Hurd",     "Solaris", "FreeBSD",
                                                  "NetBSD", "Syllable", "NaCl"};

// Bit names of GNU properties, lowest bit first.
inline constexpr const char *x86_isa_bits[] = {"x86-64-baseline", "x86-64-v2", "x86-64-v3",
                                               "x86-64-v4"};
inline constexpr const char *x86_compat_isa_bits[] = {
    "i486",     "586",      "686",      "SSE",      "SSE2",     "SSE3",
    "SSSE3",    "SSE4_1",   "SSE4_2",   "AVX",      "AVX2",     "AVX512F",
    "AVX512CD", "AVX512ER", "AVX512PF", "AVX512VL", "AVX512DQ", "AVX512BW"};
inline constexpr const char *x86_feature_1_bits[] = {"IBT", "SHSTK", "LAM_U48", "LAM_U57"};
inline constexpr const char *x86_feature_2_bits[] = {
    "x86", "x87", "MMX", "XMM", "YMM", "ZMM", "FXSR", "XSAVE", "XSAVEOPT", "XSAVEC", "TMM", "MASK"};
inline constexpr const char *aarch64_feature_1_bits[] = {"BTI", "PAC"};
inline constexpr const char *gnu_1_needed_bits[] = {"indirect external access"};

#endif // QUENZA_DUMP_NOTE_NAMES_HPP
