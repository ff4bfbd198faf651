// Program building on the real driver: the four shader texts compile and link with the
// interface the passes rely on, and a broken text fails loudly without leaking objects.
#include "render_support.h"

#include "render/program.h"
#include "render/shaders/composite_shaders.h"
#include "render/shaders/point_shaders.h"

namespace {

using ProgramBuild = render_test::GlTest;

bool isActiveUniform(GLuint program, const char* name) {
    return glGetUniformLocation(program, name) != -1;
}

// Names handed out after `first`: none may still be a shader or a program.
void expectNoShaderObjectsFrom(GLuint first) {
    for (GLuint name = first; name < first + 16; ++name) {
        EXPECT_FALSE(glIsShader(name)) << "shader " << name << " leaked";
        EXPECT_FALSE(glIsProgram(name)) << "program " << name << " leaked";
    }
}

GLuint nextShaderName() {
    const GLuint probe = glCreateShader(GL_VERTEX_SHADER);
    glDeleteShader(probe);
    return probe;
}

TEST_F(ProgramBuild, BothProgramsLinkWithTheirInterface) {
    std::string failure;
    const GLuint first = nextShaderName();
    const GLuint point = buildProgram(pointVertexText, pointFragmentText, failure);
    ASSERT_NE(0u, point) << failure;
    const GLuint post = buildProgram(compositeVertexText, compositeFragmentText, failure);
    ASSERT_NE(0u, post) << failure;

    EXPECT_TRUE(isActiveUniform(point, "cumulativeLevel"));
    // Declared but never read: the linker drops them.
    EXPECT_FALSE(isActiveUniform(point, "time"));
    EXPECT_EQ(-1, glGetAttribLocation(point, "position"));
    for (const char* name : {"time", "cumulativeLevel", "screentexture", "fist"}) {
        EXPECT_TRUE(isActiveUniform(post, name)) << name;
    }
    // The quad's vertex array feeds attribute 0 without binding the name before linking.
    EXPECT_EQ(0, glGetAttribLocation(post, "position"));

    // Only the two programs remain: the shaders went once detached.
    GLint attached = -1;
    glGetProgramiv(post, GL_ATTACHED_SHADERS, &attached);
    EXPECT_EQ(0, attached);
    for (GLuint name = first; name < first + 16; ++name) {
        EXPECT_FALSE(glIsShader(name)) << name;
    }
    glDeleteProgram(post);
    glDeleteProgram(point);
    EXPECT_EQ(GLenum(GL_NO_ERROR), glGetError());
}

TEST_F(ProgramBuild, FailuresNameTheStageAndCarryTheLog) {
    const std::string badLine = "#version 150\nvoid main() { undeclaredThing = 1.0; }\n";
    const std::string unlinked = "#version 150\nvoid helper();\nvoid main() { helper(); }\n";
    const struct {
        const char* vertex;
        const char* fragment;
        const char* stage;
    } cases[] = {
        {badLine.c_str(), pointFragmentText, "vertex shader"},
        {pointVertexText, badLine.c_str(), "fragment shader"},
        {pointVertexText, unlinked.c_str(), "link"},
    };
    for (const auto& each : cases) {
        const GLuint first = nextShaderName();
        std::string failure;
        EXPECT_EQ(0u, buildProgram(each.vertex, each.fragment, failure));
        EXPECT_EQ(0u, failure.rfind(each.stage, 0)) << failure;
        // The driver's own words follow the stage.
        EXPECT_GT(failure.size(), std::string(each.stage).size() + 20) << failure;
        expectNoShaderObjectsFrom(first);
    }
    EXPECT_EQ(GLenum(GL_NO_ERROR), glGetError());
}

} // namespace
