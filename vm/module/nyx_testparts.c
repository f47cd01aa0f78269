// SPDX-License-Identifier: GPL-2.0
/*
 * nyx_testparts.c - TEST-ONLY helper of the project's QEMU rig (vm/), never
 * meant for a real device. Debian's 6.1 kernel has no cmdlinepart and
 * nandsim names its partitions "NAND simulator partition N", so this module
 * adds named partitions to an MTD device with mtd_add_partition() on load
 * and removes them with mtd_del_partition() on unload:
 *
 *   insmod nyx_testparts.ko master=0 \
 *          parts='32M(system),16M(cache),16M(NFTL_Part),-(userdata)'
 *
 * master: MTD index to partition (default 0: without MTD_PARTITIONED_MASTER
 *         nandsim's whole-chip partition; the new ones are nested in it).
 * parts:  <size|->[@<offset>](<name>),... sizes/offsets with k/M/G suffixes,
 *         "-" = the rest, no @ = after the previous one; whole erase blocks.
 */
#include <linux/module.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/mtd/mtd.h>
#include <linux/mtd/partitions.h>

#define MAX_PARTS 16

static int master;
module_param(master, int, 0444);
MODULE_PARM_DESC(master, "index of the MTD device to partition (default 0)");

static char *parts;
module_param(parts, charp, 0444);
MODULE_PARM_DESC(parts, "<size|->[@<offset>](<name>),... e.g. 32M(system),-(userdata)");

static struct mtd_info *parent;	/* held (get_mtd_device) while loaded */
static int added[MAX_PARTS];	/* MTD indices of the partitions we added */
static int nadded;

static void remove_parts(void)
{
	while (nadded > 0) {
		int idx = added[--nadded];
		int ret = mtd_del_partition(parent, idx);

		if (ret)
			pr_err("nyx_testparts: cannot remove mtd%d: %d\n", idx, ret);
	}
}

/* Adds one partition and records the index of the device it got. */
static int add_part(const char *name, u64 offset, u64 size)
{
	struct mtd_info *master_mtd = mtd_get_master(parent);
	struct mtd_info *child;
	int ret;

	if (offset + size > parent->size || mtd_mod_by_eb(offset, parent) ||
	    mtd_mod_by_eb(size, parent) || !size || !*name) {
		pr_err("nyx_testparts: bad partition \"%s\" 0x%llx@0x%llx (device 0x%llx, erase block 0x%x)\n",
		       name, size, offset, parent->size, parent->erasesize);
		return -EINVAL;
	}
	ret = mtd_add_partition(parent, name, offset, size);
	if (ret) {
		pr_err("nyx_testparts: mtd_add_partition(\"%s\") failed: %d\n", name, ret);
		return ret;
	}
	/* mtd_add_partition() appends the new device to parent->partitions */
	mutex_lock(&master_mtd->master.partitions_lock);
	child = list_last_entry(&parent->partitions, struct mtd_info, part.node);
	added[nadded++] = child->index;
	mutex_unlock(&master_mtd->master.partitions_lock);
	pr_info("nyx_testparts: mtd%d \"%s\" 0x%llx@0x%llx of mtd%d\n",
		child->index, name, size, offset, parent->index);
	return 0;
}

static int __init testparts_init(void)
{
	char *buf, *p, *end, *name;
	u64 offset = 0, size;
	int ret = -EINVAL;

	if (!parts || !*parts) {
		pr_err("nyx_testparts: parts= is required\n");
		return -EINVAL;
	}
	parent = get_mtd_device(NULL, master);
	if (IS_ERR(parent)) {
		pr_err("nyx_testparts: no mtd%d\n", master);
		return PTR_ERR(parent);
	}
	buf = kstrdup(parts, GFP_KERNEL);
	if (!buf) {
		ret = -ENOMEM;
		goto fail;
	}
	for (p = buf; *p; ) {
		if (nadded == MAX_PARTS)
			goto syntax;
		if (*p == '-') {
			size = 0;	/* the rest, once the offset is known */
			p++;
		} else {
			size = memparse(p, &end);
			if (end == p)
				goto syntax;
			p = end;
		}
		if (*p == '@') {
			offset = memparse(p + 1, &end);
			if (end == p + 1)
				goto syntax;
			p = end;
		}
		if (*p != '(' || !(end = strchr(p, ')')))
			goto syntax;
		name = p + 1;
		*end = '\0';
		p = end + 1;
		if (*p == ',')
			p++;
		else if (*p)
			goto syntax;
		if (!size && offset < parent->size)
			size = parent->size - offset;
		ret = add_part(name, offset, size);
		if (ret)
			goto fail;
		offset += size;
	}
	kfree(buf);
	return 0;

syntax:
	pr_err("nyx_testparts: cannot parse parts= at \"%s\"\n", p);
	ret = -EINVAL;
fail:
	kfree(buf);
	remove_parts();
	put_mtd_device(parent);
	return ret;
}

static void __exit testparts_exit(void)
{
	remove_parts();
	put_mtd_device(parent);
}

module_init(testparts_init);
module_exit(testparts_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Test only: named partitions on an MTD device (mtd_add_partition)");
