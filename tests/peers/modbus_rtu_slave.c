/*
 * A Modbus RTU slave for end-to-end tests, built on libmodbus. It makes its
 * own pseudo-terminal pair, prints the slave side's path on the first line of
 * standard output and serves requests on the master side until it is killed.
 *
 *   modbus_rtu_slave [--id N] [--baud N]
 *
 * --baud sets the rate of its pty (a test link can then compare it with the
 * other end's); the bytes themselves are not paced here.
 *
 * Data: coils i = (i % 3 == 0), discrete inputs i = (i % 2 == 1),
 * holding registers i = 0x1000 + i, input registers i = 0x2000 + i,
 * 128 of each, starting at address 0.
 */
#include <errno.h>
#include <modbus/modbus.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static speed_t SpeedOf(int baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return 0;
    }
}

int main(int argc, char** argv)
{
    int id = 1;
    int baud = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--id") == 0 && i + 1 < argc)
            id = atoi(argv[++i]);
        else if (strcmp(argv[i], "--baud") == 0 && i + 1 < argc)
            baud = atoi(argv[++i]);
    }
    if (baud != 0 && SpeedOf(baud) == 0) {
        fprintf(stderr, "unsupported --baud %d\n", baud);
        return 2;
    }

    int master = -1, slave = -1;
    char name[256] = {0};
    if (openpty(&master, &slave, name, NULL, NULL) != 0) {
        perror("openpty");
        return 1;
    }
    struct termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    if (baud != 0) {
        cfsetispeed(&t, SpeedOf(baud));
        cfsetospeed(&t, SpeedOf(baud));
    }
    tcsetattr(slave, TCSANOW, &t);
    /* The slave descriptor stays open so the line never hangs up while the
       program under test closes and reopens its side. */

    modbus_t* ctx = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    if (!ctx) {
        fprintf(stderr, "modbus_new_rtu: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(ctx, id);
    modbus_set_socket(ctx, master);
    /* After a request for another id libmodbus waits this long for that
       slave's reply before it listens again (half a second by default); a
       scan sends the next id's request well before that. */
    modbus_set_response_timeout(ctx, 0, 20000);
    if (getenv("MODBUS_SLAVE_DEBUG"))
        modbus_set_debug(ctx, 1);

    modbus_mapping_t* map = modbus_mapping_new(128, 128, 128, 128);
    if (!map) {
        fprintf(stderr, "modbus_mapping_new: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < 128; ++i) {
        map->tab_bits[i] = (i % 3 == 0);
        map->tab_input_bits[i] = (i % 2 == 1);
        map->tab_registers[i] = (uint16_t)(0x1000 + i);
        map->tab_input_registers[i] = (uint16_t)(0x2000 + i);
    }

    printf("%s\n", name);
    fflush(stdout);

    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        int rc = modbus_receive(ctx, query);
        if (rc > 0) {
            modbus_reply(ctx, query, rc, map);
        } else if (rc == -1 && (errno == EIO || errno == EBADF)) {
            break; /* the line is gone */
        }
        /* rc == 0 (request for another slave) or a bad frame: go on. */
    }
    modbus_mapping_free(map);
    modbus_free(ctx);
    close(slave);
    return 0;
}
