/*
 * vm/tools/randwrite.c - the rig's seeded random-write workload (test only).
 *
 *   randwrite write  DEV SPAN COUNT SEED [BS]
 *   randwrite verify DEV SPAN COUNT SEED [BS]
 *   randwrite fill   SIZE SEED >FILE
 *
 * write:  COUNT writes of BS bytes (default 4096) with O_DIRECT at offsets
 *         drawn uniformly from the BS-aligned offsets in [0, SPAN), then one
 *         fsync (a cache flush for a block device). Write i carries bytes
 *         that depend on (SEED, i), so the last write to an offset is known.
 * verify: replays the same sequence and reads back every offset written,
 *         comparing with the last write to it. Prints the number of
 *         distinct offsets and of mismatches; exits 1 on any mismatch.
 *         O_DIRECT only for block devices, so DEV may also be an MTD
 *         character device (which reads the flash itself).
 * fill:   writes SIZE seeded pseudo-random bytes to stdout (the data of the
 *         sequential workload).
 * SPAN takes k/M/G suffixes. The sequence depends only on the arguments
 * (splitmix64), so both sides of the benchmark get identical workloads.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <sys/stat.h>

static uint64_t splitmix64(uint64_t *s)
{
	uint64_t z = (*s += 0x9e3779b97f4a7c15ULL);
	z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
	z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
	return z ^ (z >> 31);
}

static void fill(unsigned char *buf, size_t bs, uint64_t seed, uint64_t i)
{
	uint64_t s = seed ^ (i * 0xd1342543de82ef95ULL) ^ 0x5eedULL, v;
	for (size_t k = 0; k < bs; k += 8) {
		v = splitmix64(&s);
		memcpy(buf + k, &v, 8);
	}
}

static uint64_t parse_size(const char *s)
{
	char *end;
	uint64_t v = strtoull(s, &end, 0);
	switch (*end) {
	case 'k': case 'K': v <<= 10; break;
	case 'm': case 'M': v <<= 20; break;
	case 'g': case 'G': v <<= 30; break;
	case '\0': break;
	default: fprintf(stderr, "randwrite: bad size %s\n", s); exit(2);
	}
	return v;
}

int main(int argc, char **argv)
{
	if (argc == 4 && !strcmp(argv[1], "fill")) {
		uint64_t size = parse_size(argv[2]), seed = strtoull(argv[3], NULL, 0);
		unsigned char chunk[4096];
		for (uint64_t i = 0; i * sizeof(chunk) < size; i++) {
			uint64_t n = size - i * sizeof(chunk);
			fill(chunk, sizeof(chunk), seed, i);
			if (fwrite(chunk, 1, n < sizeof(chunk) ? n : sizeof(chunk), stdout) == 0)
				return 1;
		}
		return fflush(stdout) ? 1 : 0;
	}
	if (argc < 6 || argc > 7 || (strcmp(argv[1], "write") && strcmp(argv[1], "verify"))) {
		fprintf(stderr, "usage: randwrite write|verify DEV SPAN COUNT SEED [BS] | fill SIZE SEED\n");
		return 2;
	}
	int verify = !strcmp(argv[1], "verify");
	uint64_t span = parse_size(argv[3]), count = strtoull(argv[4], NULL, 0);
	uint64_t seed = strtoull(argv[5], NULL, 0), bs = argc > 6 ? parse_size(argv[6]) : 4096;
	if (bs < 512 || bs % 512 || span < bs) {
		fprintf(stderr, "randwrite: need BS a multiple of 512 and SPAN >= BS\n");
		return 2;
	}
	uint64_t slots = span / bs, s = seed;
	struct stat st;
	int direct = stat(argv[2], &st) == 0 && S_ISBLK(st.st_mode) ? O_DIRECT : 0;
	int fd = open(argv[2], (verify ? O_RDONLY : O_WRONLY) | direct);
	unsigned char *buf, *want;
	if (fd < 0) { perror(argv[2]); return 1; }
	if (posix_memalign((void **)&buf, 4096, bs) || posix_memalign((void **)&want, 4096, bs))
		return 1;
	/* last[slot] = 1 + index of the last write to that slot (verify only) */
	uint64_t *last = verify ? calloc(slots, sizeof(*last)) : NULL;
	if (verify && !last) return 1;
	for (uint64_t i = 0; i < count; i++) {
		uint64_t slot = splitmix64(&s) % slots;
		if (verify) { last[slot] = i + 1; continue; }
		fill(buf, bs, seed, i);
		if (pwrite(fd, buf, bs, slot * bs) != (ssize_t)bs) {
			fprintf(stderr, "randwrite: write %llu at %llu: %s\n", (unsigned long long)i,
				(unsigned long long)(slot * bs), strerror(errno));
			return 1;
		}
	}
	if (!verify) {
		if (fsync(fd)) { perror("randwrite: fsync"); return 1; }
		return close(fd) ? 1 : 0;
	}
	uint64_t distinct = 0, bad = 0;
	for (uint64_t slot = 0; slot < slots; slot++) {
		if (!last[slot]) continue;
		distinct++;
		fill(want, bs, seed, last[slot] - 1);
		if (pread(fd, buf, bs, slot * bs) != (ssize_t)bs || memcmp(buf, want, bs)) {
			if (bad++ < 5)
				fprintf(stderr, "randwrite: mismatch at offset %llu\n",
					(unsigned long long)(slot * bs));
		}
	}
	printf("verified %llu offsets, %llu mismatches\n", (unsigned long long)distinct,
	       (unsigned long long)bad);
	return bad ? 1 : 0;
}
