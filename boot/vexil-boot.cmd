# Vexil boot script (U-Boot hush shell): boots the current set of UBI
# volumes, gives a set on trial a limited number of boots, and falls back to
# the previous set by itself once they are used up.
#
# The volume manifest_trial exists exactly while the current set is on trial
# (the install's switch rename makes it, confirming renames it to manifest),
# so the trial marker changes atomically with the volume names. The
# environment only carries the count of boots left, vexil_tries (hex digits,
# as setexpr writes them).
#
# Settings from the environment, all optional:
#   vexil_mtd        MTD partition that holds UBI (NAND.ubi)
#   vexil_load       load command prefix, run as "${vexil_load} ADDR VOLUME"
#                    (ubi read)
#   vexil_bootargs   kernel arguments put in front of the script's own
#   vexil_boot       command that boots the loaded kernel
#                    (bootz ${kernel_addr_r} - ${fdt_addr_r})
# The kernel goes to ${kernel_addr_r}, the devicetree to ${fdt_addr_r}.

# Without the load addresses nothing can be loaded. (2023.01's "exit" does not
# end a script, hence the one if around the rest.)
if test -z "${kernel_addr_r}" || test -z "${fdt_addr_r}"; then
	echo "vexil: kernel_addr_r and fdt_addr_r must be set"
else
	# Read once: a saveenv that cannot reach the flash may put the environment
	# back to its defaults. Hush looks up an environment variable before a local
	# one, hence names no environment uses; it cannot set one to "", hence a
	# value for each ("none": no extra kernel arguments).
	vb_kaddr="${kernel_addr_r}"
	vb_faddr="${fdt_addr_r}"
	vb_mtd="${vexil_mtd:-NAND.ubi}"
	vb_load="${vexil_load:-ubi read}"
	vb_args="${vexil_bootargs:-none}"

	ubi part ${vb_mtd}

	# The current set boots as "good", or as "trial" while it is on trial; the
	# previous set always as "fallback".
	vb_first=current
	vb_how=good
	if ${vb_load} ${vb_kaddr} manifest_trial; then
		vb_how=trial
		# Hex digits to setexpr's form: "00" or junk count as 0 and fall back,
		# where a decrement would wrap around to a huge count.
		if test -n "${vexil_tries}"; then
			setexpr vexil_tries ${vexil_tries} + 0
		fi
		if test -z "${vexil_tries}" || test "${vexil_tries}" = 0; then
			echo "vexil: the set on trial has no boots left: previous set"
			vb_first=previous
		else
			setexpr vexil_tries ${vexil_tries} - 1
			# A count that cannot be saved would never run out.
			if saveenv; then
				echo "vexil: trial boot, ${vexil_tries} left after this one"
			else
				echo "vexil: cannot save the trial count: previous set"
				vb_first=previous
			fi
		fi
	fi

	# The chosen set first; when its kernel or devicetree cannot be loaded, or
	# booting it returns, the other one.
	if test "${vb_first}" = current; then
		vb_order="current previous"
	else
		vb_order="previous current"
	fi
	for vb_set in ${vb_order}; do
		if test "${vb_set}" = current; then
			vb_kernel=kernel
			vb_dtb=devicetree
			vb_root=rootfs
			vb_mode=${vb_how}
		else
			vb_kernel=kernel_prev
			vb_dtb=devicetree_prev
			vb_root=rootfs_prev
			vb_mode=fallback
		fi
		if ${vb_load} ${vb_kaddr} ${vb_kernel} && ${vb_load} ${vb_faddr} ${vb_dtb}; then
			setenv bootargs "ubi.mtd=${vb_mtd} root=ubi0:${vb_root} vexil.boot=${vb_mode}"
			if test "${vb_args}" != none; then
				setenv bootargs "${vb_args} ${bootargs}"
			fi
			if test -n "${vexil_boot}"; then
				run vexil_boot
			else
				bootz ${vb_kaddr} - ${vb_faddr}
			fi
			echo "vexil: booting ${vb_kernel} failed"
		else
			echo "vexil: cannot load ${vb_kernel} and ${vb_dtb}"
		fi
	done
	echo "vexil: no set could be booted"
fi
