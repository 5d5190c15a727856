"""Where the views sit, relative to their window (x, y, width, height), as the windows lay them out."""

# Main window "Tavrel Agent Service".
SERVICE_STATUS = (16 + 136, 94 + 10, 342, 18)  # value label inside the identity box
REGISTRATION_SENTENCE = (16, 299, 492, 22)
START = (16, 351, 100, 28)
STOP = (126, 351, 100, 28)
RESTART = (236, 351, 100, 28)
SETUP_SETTINGS = (16, 391, 160, 28)

# Setup sheet, registration form "Tavrel Agent — Setup".
REG_API_URL = (150, 106, 290, 22)
REG_USERNAME = (150, 136, 290, 22)
REG_PASSWORD = (150, 166, 290, 22)
REG_CLIENT = (150, 196, 290, 22)
REG_LOCATION = (150, 226, 290, 22)
REG_REGISTER = (20, 286, 100, 28)
REG_CLOSE = (20, 376, 80, 28)

# Setup sheet, settings form "Tavrel Agent — Settings" (re-authentication box closed, then open).
SET_CLIENT = (150, 136, 290, 22)
SET_LOCATION = (150, 166, 290, 22)
SET_API_URL = (150, 196, 290, 22)
SET_SAVE = (20, 226, 138, 28)
SET_UNREGISTER = (161, 226, 138, 28)
SET_REAUTH_TOGGLE = (302, 226, 138, 28)
SET_CLOSE = (20, 316, 80, 28)
REAUTH_BOX = (20, 266, 420, 156)
REAUTH_USER = (20 + 116, 266 + 50, 294, 24)
REAUTH_PASSWORD = (20 + 116, 266 + 84, 294, 24)
REAUTH_BUTTON = (20 + 260, 266 + 120, 150, 28)
SET_CLOSE_OPEN = (20, 316 + 162, 80, 28)
