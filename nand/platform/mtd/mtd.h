// The MTD device interface: what a raw NAND device (or a partition of one)
// offers the translation layer. It mirrors the Linux MTD layer's
// `struct mtd_info`: geometry fields plus an operation table. Every address
// is a byte offset from the start of the device; block b starts at
// b * erasesize and page p of block b at b * erasesize + p * writesize.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

// Device types (only NAND is served by the translation layer).
constexpr unsigned char MTD_ABSENT = 0;
constexpr unsigned char MTD_RAM = 1;
constexpr unsigned char MTD_ROM = 2;
constexpr unsigned char MTD_NORFLASH = 3;
constexpr unsigned char MTD_NANDFLASH = 4;

// Device flags.
constexpr uint32_t MTD_WRITEABLE = 0x400;

// Result codes of the device operations are negative Linux errno values:
// 0, -EUCLEAN (-117, bit errors corrected: the data is good), -EBADMSG (-74,
// uncorrectable: the data is damaged), -EIO (-5), -EROFS, -EINVAL.
static_assert(EIO == 5 && ENOMEM == 12 && EBADMSG == 74 && EUCLEAN == 117,
              "the system's codes are Linux errno values");

// OOB transfer modes. In MTD_OOB_AUTO mode the spare bytes go to the free
// bytes of the OOB area; here `ooboffs` names the OOB byte at which they start
// (the first free byte, ecclayout->oobfree[0].offset).
enum mtd_oob_mode_t { MTD_OOB_PLACE = 0, MTD_OOB_AUTO = 1, MTD_OOB_RAW = 2 };

struct mtd_info;

// erase_info.state after an erase, and fail_addr when the failing address is
// not known (the Linux values).
constexpr unsigned char MTD_ERASE_PENDING = 0x01;
constexpr unsigned char MTD_ERASING = 0x02;
constexpr unsigned char MTD_ERASE_DONE = 0x08;
constexpr unsigned char MTD_ERASE_FAILED = 0x10;
constexpr uint64_t MTD_FAIL_ADDR_UNKNOWN = ~uint64_t(0);

struct erase_info {
  mtd_info* mtd;
  uint64_t addr;
  uint64_t len;
  uint64_t fail_addr;
  unsigned char state;
  void (*callback)(erase_info*);
};

struct mtd_oob_ops {
  mtd_oob_mode_t mode;
  size_t len;        // main data bytes to transfer
  size_t retlen;     // main data bytes transferred
  size_t ooblen;     // spare bytes to transfer
  size_t oobretlen;  // spare bytes transferred
  uint32_t ooboffs;  // first OOB byte of the spare transfer
  uint8_t* datbuf;   // main data, or null for a spare-only transfer
  uint8_t* oobbuf;   // spare data, or null
};

struct nand_oobfree {
  uint32_t offset;
  uint32_t length;
};

constexpr int MTD_MAX_OOBFREE_ENTRIES = 8;

struct nand_ecclayout {
  uint32_t eccbytes;
  uint32_t oobavail;
  nand_oobfree oobfree[MTD_MAX_OOBFREE_ENTRIES];
};

struct mtd_info {
  unsigned char type;
  uint32_t flags;
  uint64_t size;       // bytes
  uint32_t erasesize;  // bytes per erase block
  uint32_t writesize;  // bytes per page (main area)
  uint32_t oobsize;    // bytes of OOB per page
  uint32_t oobavail;   // free OOB bytes per page
  const char* name;
  int index;
  nand_ecclayout* ecclayout;

  int (*erase)(mtd_info* mtd, erase_info* instr);
  int (*read)(mtd_info* mtd, uint64_t from, size_t len, size_t* retlen, uint8_t* buf);
  int (*write)(mtd_info* mtd, uint64_t to, size_t len, size_t* retlen, const uint8_t* buf);
  int (*read_oob)(mtd_info* mtd, uint64_t from, mtd_oob_ops* ops);
  int (*write_oob)(mtd_info* mtd, uint64_t to, mtd_oob_ops* ops);
  int (*block_isbad)(mtd_info* mtd, uint64_t ofs);
  int (*block_markbad)(mtd_info* mtd, uint64_t ofs);
  void (*sync)(mtd_info* mtd);  // may be null

  void* priv;  // the implementation behind the table
};
