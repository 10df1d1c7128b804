// SPDX-License-Identifier: GPL-2.0
/*
 * The boards' partitions on the NAND simulator: NAND.SPL, NAND.u-boot and
 * NAND.ubi, in that order, so they become mtd0, mtd1 and mtd2 as on a board.
 *
 * nandsim names its partitions itself, and a kernel without a partitioned
 * master refuses to add one from user space, so this replaces the partition
 * nandsim makes over the whole chip (load nandsim without parts=). Unloading
 * this module leaves the partitions; unloading nandsim removes them.
 */
#include <linux/err.h>
#include <linux/module.h>
#include <linux/mtd/mtd.h>
#include <linux/mtd/partitions.h>

static unsigned int spl_blocks = 4;
static unsigned int uboot_blocks = 12;
static unsigned int ubi_blocks;
module_param(spl_blocks, uint, 0400);
MODULE_PARM_DESC(spl_blocks, "eraseblocks of NAND.SPL");
module_param(uboot_blocks, uint, 0400);
MODULE_PARM_DESC(uboot_blocks, "eraseblocks of NAND.u-boot");
module_param(ubi_blocks, uint, 0400);
MODULE_PARM_DESC(ubi_blocks, "eraseblocks of NAND.ubi (0: the rest of the chip)");

static int __init nand_parts_init(void)
{
	struct mtd_info *whole, *chip;
	u64 block, spl, uboot, ubi;
	int index, err;

	whole = get_mtd_device_nm("NAND simulator partition 0");
	if (IS_ERR(whole))
		return PTR_ERR(whole);
	chip = whole->parent;
	index = whole->index;
	put_mtd_device(whole);
	if (!chip)
		return -ENODEV;

	block = chip->erasesize;
	spl = spl_blocks * block;
	uboot = uboot_blocks * block;
	ubi = ubi_blocks ? ubi_blocks * block : chip->size - spl - uboot;
	if (!spl || !uboot || spl + uboot + ubi > chip->size)
		return -EINVAL;

	err = mtd_del_partition(chip, index);
	if (!err)
		err = mtd_add_partition(chip, "NAND.SPL", 0, spl);
	if (!err)
		err = mtd_add_partition(chip, "NAND.u-boot", spl, uboot);
	if (!err)
		err = mtd_add_partition(chip, "NAND.ubi", spl + uboot, ubi);
	return err;
}

static void __exit nand_parts_exit(void)
{
}

module_init(nand_parts_init);
module_exit(nand_parts_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Board partitions on the NAND simulator");
