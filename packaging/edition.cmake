# What the installed files and the Windows zip's text say, and what they claim, for the two builds.
# A build without the vendor's image is the demonstration: it talks only to its virtual controller,
# so it declares no hardware (a software centre would offer it to every owner of the controller),
# installs no udev rule (it opens no device), and says what it is wherever a user reads about it.
# Included from app/ with ${packaging} set; the texts are substituted into the *.in files there.

if(LUMARO_FIRMWARE_IMAGE)
    set(LUMARO_DEMO OFF)
    set(LUMARO_APP_NAME "QR5 Lumaro Updater")
    set(LUMARO_APP_SUMMARY "Update the firmware of a QR5 Lumaro game controller")
    set(LUMARO_METAINFO_INTRO "Plug in a QR5 Lumaro wired USB game controller and start the updater: it finds the
      controller, switches it into its bootloader, reads the installed firmware version and,
      when it is older than the firmware the updater carries (${PROJECT_VERSION}), offers to
      update it.")
    # Either of the controller's modes: game mode and its bootloader.
    set(LUMARO_METAINFO_MODALIASES "
    <modalias>usb:v0079p18AEd*</modalias>
    <modalias>usb:v0079p1836d*</modalias>")
    set(LUMARO_MAN_NAME "update the firmware of a QR5 Lumaro game controller")
    set(LUMARO_MAN_INTRO ".B lumaro-updater
opens a small window that waits for a QR5 Lumaro wired USB game controller.
When one is plugged in, it switches the controller")
    set(LUMARO_MAN_DEVICE_ACCESS ".SH FILES
.TP
.I /usr/lib/udev/rules.d/60\\-lumaro\\-updater.rules
Gives the user logged in at the seat access to the controller's hidraw and USB device nodes,
in game mode (USB id 0079:18ae) and in its bootloader (0079:1836).
Without it the updater prints one line on standard error naming the device node it could not
open.
.SH SEE ALSO
.BR udevadm (8)")
    set(LUMARO_README_TITLE "QR5 Lumaro Updater ${PROJECT_VERSION} for Windows (64-bit)")
    set(LUMARO_README_USE "Updates the firmware of a QR5 Lumaro wired USB game controller to version ${PROJECT_VERSION}.

1. Plug the controller in.
2. Start lumaro-updater.exe. It needs no installation and no driver: Windows
   opens the controller as a standard HID device.
3. The updater finds the controller and switches it into its bootloader. When
   its firmware is older than ${PROJECT_VERSION}, click Update. Do not unplug the
   controller until the finish indicator replaces the button.
   Hold either Shift key while clicking Update to write a controller that is
   already current.")
else()
    set(LUMARO_DEMO ON)
    set(LUMARO_APP_NAME "QR5 Lumaro Updater (demonstration)")
    set(LUMARO_APP_SUMMARY "Demonstration with a built-in virtual controller: cannot update a real one")
    set(LUMARO_METAINFO_INTRO "This is a demonstration. It talks only to a virtual QR5 Lumaro controller built into
      the program and cannot update a real controller. Start it with nothing plugged in: the
      virtual controller appears in game mode with an older firmware, the updater switches it
      into its bootloader and offers to update it to the firmware it carries
      (${PROJECT_VERSION}), as it would with a real one.")
    set(LUMARO_METAINFO_MODALIASES "")
    set(LUMARO_MAN_NAME "demonstration of the QR5 Lumaro firmware updater with a built-in virtual controller")
    set(LUMARO_MAN_INTRO ".B lumaro-updater
is a demonstration: it talks only to a virtual QR5 Lumaro controller built into the program
and cannot update a real controller.
With nothing plugged in, the virtual controller appears at once, and the program switches
it")
    set(LUMARO_MAN_DEVICE_ACCESS "")
    set(LUMARO_README_TITLE "QR5 Lumaro Updater ${PROJECT_VERSION} for Windows (64-bit): DEMONSTRATION")
    set(LUMARO_README_USE "This is a demonstration. It talks only to a virtual QR5 Lumaro controller built
into the program and cannot update a real controller.

Start lumaro-updater.exe with nothing plugged in; it needs no installation. The
virtual controller appears in game mode with an older firmware, the updater
switches it into its bootloader and offers Update, and writes it page by page
as it would write a real controller, until the finish indicator replaces the
button.")
endif()
