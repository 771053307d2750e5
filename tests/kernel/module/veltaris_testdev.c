// SPDX-License-Identifier: GPL-2.0
/*
 * Test device for running veltarisd on a real kernel: real class devices,
 * registered through the backlight and LED class APIs, whose drivers
 * misbehave the way real panel drivers do.
 *
 * Interface (the kernel test scenarios depend on these names):
 *
 *   /sys/class/backlight/panel0-backlight  BACKLIGHT_RAW, max 2047, starts at 1023
 *                                          (the main panel)
 *   /sys/class/leds/lcd-backlight          LED, max 255, starts at 100 (a panel
 *                                          on the LED class)
 *   /sys/class/leds/kbd_backlight          LED, max 3, starts at 0 (decoy: deny word)
 *   /sys/class/backlight/panel1-backlight  BACKLIGHT_RAW, max 2047, starts at 1023
 *                                          (decoy: numbered second panel)
 *   /sys/class/backlight/primary-backlight only with second_panel=1: BACKLIGHT_RAW,
 *                                          max 2047, starts at 1023; a name the
 *                                          path policy accepts, so two usable
 *                                          backlights make the probe ambiguous
 *
 * Parameters, also writable at run time under
 * /sys/module/veltaris_testdev/parameters/:
 *
 *   refuse=N   N != 0: every write to panel0-backlight and lcd-backlight fails
 *              with -N (N outside 1..4095: -EIO) and the value read back stays.
 *              The backlight core returns the error to write(2); the LED core
 *              does not (it only logs it): there the write succeeds and the
 *              read-back keeps the old value.
 *   clamp=N    N > 0: the panel nodes keep min(value, N), as hardware that stops
 *              below the maximum it advertises; the read-back shows it.
 *   lag=1      the panel nodes read back the value of the write before the last.
 *   second_panel=1 (load only): register primary-backlight.
 *   rename_panel=NAME (write only, at run time): panel0-backlight's device
 *              takes the name NAME, as a driver renaming its device does;
 *              its nodes keep their inodes under the new name. Writing
 *              panel0-backlight back restores it.
 *
 * Writes above max_brightness are the class cores' business: the backlight
 * core refuses them with EINVAL, the LED core caps them at the maximum.
 */
#include <linux/backlight.h>
#include <linux/err.h>
#include <linux/leds.h>
#include <linux/module.h>
#include <linux/string.h>

static int refuse;
module_param(refuse, int, 0644);
MODULE_PARM_DESC(refuse, "writes to the panel nodes fail with -refuse (0: they succeed)");

static int clamp;
module_param(clamp, int, 0644);
MODULE_PARM_DESC(clamp, "the panel nodes keep at most this value (0: no clamp)");

static bool lag;
module_param(lag, bool, 0644);
MODULE_PARM_DESC(lag, "the panel nodes read back the write before the last");

static bool second_panel;
module_param(second_panel, bool, 0444);
MODULE_PARM_DESC(second_panel, "register a second accepted backlight (primary-backlight)");

static struct backlight_device *panel0, *panel1, *primary;

#define RENAME_MAX 64

static int rename_panel_set(const char *val, const struct kernel_param *kp)
{
	char name[RENAME_MAX];
	size_t n = strcspn(val, "\n");

	if (IS_ERR_OR_NULL(panel0) || n == 0 || n >= sizeof(name))
		return -EINVAL;
	memcpy(name, val, n);
	name[n] = '\0';
	return device_rename(&panel0->dev, name);
}

static const struct kernel_param_ops rename_panel_ops = {
	.set = rename_panel_set,
};
module_param_cb(rename_panel, &rename_panel_ops, NULL, 0200);
MODULE_PARM_DESC(rename_panel, "rename panel0-backlight's device to this name");

#define BL_MAX 2047
#define BL_START 1023
#define LCD_MAX 255
#define LCD_START 100
#define KBD_MAX 3

/* What the imitated hardware holds and what its driver reads back. */
struct panel_state {
	int hw;
	int shown;
};

static struct panel_state bl_state = { BL_START, BL_START };
static struct panel_state lcd_state = { LCD_START, LCD_START };

static int panel_write(struct panel_state *s, int value)
{
	int r = READ_ONCE(refuse);
	int c = READ_ONCE(clamp);

	if (r)
		return (r > 0 && r < MAX_ERRNO) ? -r : -EIO;
	if (c > 0 && value > c)
		value = c;
	s->shown = READ_ONCE(lag) ? s->hw : value;
	s->hw = value;
	return 0;
}

/* The core has already stored the written value in props.brightness,
 * which is what its brightness attribute reads: put the read-back there. */
static int bl_update_status(struct backlight_device *bd)
{
	int ret = panel_write(&bl_state, bd->props.brightness);

	bd->props.brightness = bl_state.shown;
	return ret;
}

static int bl_get_brightness(struct backlight_device *bd)
{
	return bl_state.shown;
}

static const struct backlight_ops bl_ops = {
	.update_status = bl_update_status,
	.get_brightness = bl_get_brightness,
};

/* Decoys keep whatever is written. */
static const struct backlight_ops plain_bl_ops;

static int lcd_set(struct led_classdev *cdev, enum led_brightness value)
{
	return panel_write(&lcd_state, value);
}

static enum led_brightness lcd_get(struct led_classdev *cdev)
{
	return lcd_state.shown;
}

static void kbd_set(struct led_classdev *cdev, enum led_brightness value)
{
}

static struct led_classdev lcd_led = {
	.name = "lcd-backlight",
	.max_brightness = LCD_MAX,
	.brightness = LCD_START,
	.brightness_set_blocking = lcd_set,
	.brightness_get = lcd_get,
};

static struct led_classdev kbd_led = {
	.name = "kbd_backlight",
	.max_brightness = KBD_MAX,
	.brightness_set = kbd_set,
};

static struct backlight_device *raw_backlight(const char *name, const struct backlight_ops *ops)
{
	struct backlight_properties props = {
		.type = BACKLIGHT_RAW,
		.max_brightness = BL_MAX,
		.brightness = BL_START,
	};

	return backlight_device_register(name, NULL, NULL, ops, &props);
}

static void testdev_remove(void)
{
	if (!IS_ERR_OR_NULL(primary))
		backlight_device_unregister(primary);
	if (!IS_ERR_OR_NULL(panel1))
		backlight_device_unregister(panel1);
	if (!IS_ERR_OR_NULL(kbd_led.dev))
		led_classdev_unregister(&kbd_led);
	if (!IS_ERR_OR_NULL(lcd_led.dev))
		led_classdev_unregister(&lcd_led);
	if (!IS_ERR_OR_NULL(panel0))
		backlight_device_unregister(panel0);
}

static int __init testdev_init(void)
{
	int ret;

	panel0 = raw_backlight("panel0-backlight", &bl_ops);
	if (IS_ERR(panel0)) {
		ret = PTR_ERR(panel0);
		goto fail;
	}
	ret = led_classdev_register(NULL, &lcd_led);
	if (ret)
		goto fail;
	ret = led_classdev_register(NULL, &kbd_led);
	if (ret)
		goto fail;
	panel1 = raw_backlight("panel1-backlight", &plain_bl_ops);
	if (IS_ERR(panel1)) {
		ret = PTR_ERR(panel1);
		goto fail;
	}
	if (second_panel) {
		primary = raw_backlight("primary-backlight", &plain_bl_ops);
		if (IS_ERR(primary)) {
			ret = PTR_ERR(primary);
			goto fail;
		}
	}
	return 0;
fail:
	testdev_remove();
	return ret;
}

static void __exit testdev_exit(void)
{
	testdev_remove();
}

module_init(testdev_init);
module_exit(testdev_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Misbehaving backlight and LED test devices for veltarisd");
