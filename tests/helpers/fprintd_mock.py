'''A D-Bus double of fprintd (net.reactivated.Fprint) for the fingerprint tests.

Parameters (JSON): "device" (default true): whether there is a default device; "fingers"
(default ["right-index-finger"]): the enrolled fingers; "result" (default "verify-match"): what
a verification reports, done, as soon as it starts; "none" reports nothing ever.
'''

BUS_NAME = 'net.reactivated.Fprint'
MAIN_OBJ = '/net/reactivated/Fprint/Manager'
MAIN_IFACE = 'net.reactivated.Fprint.Manager'
SYSTEM_BUS = True

DEVICE_PATH = '/net/reactivated/Fprint/Device/0'
DEVICE_IFACE = 'net.reactivated.Fprint.Device'


def error(name, text):
    return f'raise dbus.exceptions.DBusException("{text}", name="net.reactivated.Fprint.Error.{name}")'


def load(mock, parameters):
    if parameters.get('device', True):
        mock.AddMethod(MAIN_IFACE, 'GetDefaultDevice', '', 'o', f'ret = "{DEVICE_PATH}"')
    else:
        mock.AddMethod(MAIN_IFACE, 'GetDefaultDevice', '', 'o',
                       error('NoSuchDevice', 'No devices available'))
    fingers = parameters.get('fingers', ['right-index-finger'])
    result = parameters.get('result', 'verify-match')
    listing = f'ret = {fingers!r}' if fingers else error('NoEnrolledPrints', 'No enrolled prints')
    verify = ('' if result == 'none' else
              f'self.EmitSignal("{DEVICE_IFACE}", "VerifyStatus", "sb", ["{result}", True])')
    mock.AddObject(DEVICE_PATH, DEVICE_IFACE, {}, [
        ('ListEnrolledFingers', 's', 'as', listing),
        ('Claim', 's', '', ''),
        ('VerifyStart', 's', '', verify),
        ('VerifyStop', '', '', ''),
        ('Release', '', '', ''),
    ])
