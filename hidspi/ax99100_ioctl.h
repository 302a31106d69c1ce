/* Linux interface that an AX99100 SPI controller driver offers to Tavrix.
 * Usable from user space and from a kernel module.
 *
 * Device nodes: /dev/AX99100SpiDevice0 to /dev/AX99100SpiDevice9; Tavrix
 * takes the first one it can open read-write and lock exclusively (flock).
 *
 * Every request passes one struct ax99100_request: the caller's input and
 * output buffers with their sizes. The driver copies in_size bytes from
 * in_ptr, performs the request synchronously, copies at most out_size bytes
 * to out_ptr, stores that count in returned and makes ioctl() return 0; any
 * other result counts as a failed request. All integers inside the buffers
 * are little-endian. */
#ifndef AX99100_IOCTL_H
#define AX99100_IOCTL_H

#include <linux/ioctl.h>
#include <linux/types.h>

struct ax99100_request {
    __u64 in_ptr;   /* user address of the input buffer */
    __u64 out_ptr;  /* user address of the output buffer, 0 when none */
    __u32 in_size;  /* bytes at in_ptr */
    __u32 out_size; /* room at out_ptr */
    __u32 returned; /* set by the driver: bytes stored at out_ptr */
    __u32 reserved; /* 0 */
};

#define AX99100_IOC_MAGIC 'x'

/* The request number is the low byte of the function number of the
 * corresponding Windows control code (0x222028 -> 0x80A -> 0x0A). */
/* in: u8 register, u8 value; out: none */
#define AX99100_IOC_WRITE_REG8 _IOWR(AX99100_IOC_MAGIC, 0x0A, struct ax99100_request)
/* in: u8 register; out: u8 value */
#define AX99100_IOC_READ_REG8 _IOWR(AX99100_IOC_MAGIC, 0x0B, struct ax99100_request)
/* in: u32 space, u32 offset, u32 value; out: none */
#define AX99100_IOC_WRITE_REG32 _IOWR(AX99100_IOC_MAGIC, 0x0F, struct ax99100_request)
/* in: u32 space, u32 offset, u32 unused; out: u32 value */
#define AX99100_IOC_READ_REG32 _IOWR(AX99100_IOC_MAGIC, 0x10, struct ax99100_request)
/* in: u32 length, then 131072 bytes of transmit data; out: none */
#define AX99100_IOC_LOAD_TX _IOWR(AX99100_IOC_MAGIC, 0x15, struct ax99100_request)
/* in: u32 length; out: u32, then 131072 bytes of received data */
#define AX99100_IOC_FETCH_RX _IOWR(AX99100_IOC_MAGIC, 0x16, struct ax99100_request)
/* in: u32 length; out: none (first transfer-length register) */
#define AX99100_IOC_SET_LEN1 _IOWR(AX99100_IOC_MAGIC, 0x1A, struct ax99100_request)
/* in: u32 length; out: none (second transfer-length register) */
#define AX99100_IOC_SET_LEN2 _IOWR(AX99100_IOC_MAGIC, 0x1B, struct ax99100_request)

#endif
